#!/usr/bin/perl
# Reads a Windows binary's version resource back, as Explorer's Properties
# dialog would show it: prints one "Key=Value" line for the fixed file and
# product versions (FixedFileVersion, FixedProductVersion) and for each string
# (FileVersion, ProductVersion, OriginalFilename, ...). Exits 1 when the file
# has no version resource.
#
#   version-resource.pl FILE
use strict;
use warnings;

my $file = shift or die "usage: version-resource.pl FILE\n";
open(my $fh, '<:raw', $file) or die "version-resource.pl: $file: $!\n";
my $bytes = do { local $/; <$fh> };
close($fh);

sub utf16 { return join '', map { "$_\0" } split //, $_[0]; }

my $root = index($bytes, utf16("VS_VERSION_INFO") . "\0\0");
if ($root < 0) {
    print STDERR "$file: no version resource\n";
    exit 1;
}
# VS_FIXEDFILEINFO follows its key, after padding: found by its signature.
my $fixed = index($bytes, pack('V', 0xFEEF04BD), $root);
if ($fixed < 0 || $fixed > $root + 64) {
    print STDERR "$file: version resource without its fixed part\n";
    exit 1;
}
my (undef, undef, $fms, $fls, $pms, $pls) = unpack('V6', substr($bytes, $fixed, 24));
printf "FixedFileVersion=%d.%d.%d.%d\n", $fms >> 16, $fms & 0xFFFF, $fls >> 16, $fls & 0xFFFF;
printf "FixedProductVersion=%d.%d.%d.%d\n", $pms >> 16, $pms & 0xFFFF, $pls >> 16, $pls & 0xFFFF;

# The strings: key, its terminator, padding to 32 bits, the value.
my $tail = substr($bytes, $root);
for my $key (qw(CompanyName FileDescription FileVersion InternalName OriginalFilename
                ProductName ProductVersion)) {
    my $k = quotemeta(utf16($key) . "\0\0");
    if ($tail =~ /$k(?:\0\0)?((?:[^\0]\0)*)\0\0/s) {
        (my $value = $1) =~ s/\0//g;
        print "$key=$value\n";
    }
}
