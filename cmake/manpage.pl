#!/usr/bin/perl
# Makes a tool's manual page from the tool itself: its --help text is the only
# description of its command line, so the page cannot say anything else.
#
#   manpage.pl --program PATH --version VERSION --summary TEXT --date DATE
#              [--see-also PAGE]... --output FILE
#
# It runs PATH --version (whose first line must be "NAME VERSION", the same
# version the build stamps everywhere) and PATH --help, and reads the help
# text by its layout:
#   Usage: NAME ARGS          the SYNOPSIS; the text up to the first heading
#                             is the DESCRIPTION
#   A LINE IN CAPITALS        at column 0: a section (.SH)
#   A line ending in a colon  at column 0, followed by an item: a subsection
#                             (.SS), under OPTIONS when no section is open yet
#   "  TERM  description"     an item (.TP): a term indented by two, then two
#                             or more spaces; or a term alone on its line with
#                             its description under it, indented by 8 or more
#   deeper indented lines     kept as they are (tables, examples, formats)
#   other lines               running text; a blank line ends a paragraph
use strict;
use warnings;
use Getopt::Long;

my ($program, $version, $summary, $date, $output);
my @see_also;
GetOptions(
    'program=s'  => \$program,
    'version=s'  => \$version,
    'summary=s'  => \$summary,
    'date=s'     => \$date,
    'see-also=s' => \@see_also,
    'output=s'   => \$output,
) or die "manpage.pl: bad arguments\n";
for ([program => $program], [version => $version], [summary => $summary],
     [date => $date], [output => $output]) {
    defined $_->[1] or die "manpage.pl: --$_->[0] is required\n";
}

sub run_tool {
    my ($option) = @_;
    open(my $pipe, '-|', $program, $option) or die "manpage.pl: cannot run $program: $!\n";
    local $/;
    my $text = <$pipe>;
    close($pipe);
    die "manpage.pl: $program $option exited with status " . ($? >> 8) . "\n" if $? != 0;
    return $text // '';
}

my ($name) = $program =~ m{([^/\\]+?)(?:\.exe)?$};
my ($version_line) = split /\n/, run_tool('--version');
$version_line //= '';
die "manpage.pl: $program --version printed \"$version_line\", expected \"$name $version\"\n"
    unless $version_line eq "$name $version";

my @lines = split /\n/, run_tool('--help'), -1;
pop @lines while @lines && $lines[-1] eq '';
s/\s+$// for @lines;

# Text for a filled line: escapes, and no leading control character.
sub roff {
    my ($text) = @_;
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g;
    $text =~ s/^([.'])/\\&$1/;
    return $text;
}

# An item's term: option names and the command in bold, VALUES in italics.
sub term {
    my ($text) = @_;
    my @words = split / /, $text;
    for my $i (0 .. $#words) {
        my $w = $words[$i];
        if ($w =~ /^[A-Z][A-Z0-9_]*(?:[=.,|][A-Z0-9_.]*)*\.*$/) {
            $words[$i] = '\fI' . roff($w) . '\fR';
        } elsif ($w =~ /^-/ || $i == 0) {
            $words[$i] = '\fB' . roff($w) . '\fR';
        } else {
            $words[$i] = roff($w);
        }
    }
    my $joined = join ' ', @words;
    $joined =~ s/^([.'])/\\&$1/;
    return $joined;
}

sub indent_of { my ($l) = @_; $l =~ /^( *)/; return length $1; }

my @out;
my $upper = uc $name;
my $esc_name = roff($name);
push @out, ".\\\" Made by cmake/manpage.pl from \"$name --help\": change the tool's usage text,",
    ".\\\" not this page.",
    ".TH \"$upper\" 1 \"$date\" \"westnet $version\" \"User Commands\"",
    '.nh', '.ad l',
    '.SH NAME', "$esc_name \\- " . roff($summary), '.SH SYNOPSIS';

my $i = 0;
die "manpage.pl: $name --help does not start with \"Usage: $name\"\n"
    unless @lines && $lines[0] =~ /^Usage:\s+\Q$name\E\b\s*(.*)$/;
while ($i < @lines && $lines[$i] =~ /^(?:Usage:|\s+or:)\s+(\S+)\s*(.*)$/) {
    push @out, '.br' if $i > 0;
    push @out, ".B $esc_name", roff($2);
    $i++;
}

my $section = '';      # the open .SH
my $context = undef;   # undef: between paragraphs; else the indent of running text
my $verbatim = 0;

sub close_verbatim { if ($verbatim) { push @out, '.fi'; $verbatim = 0; } }
sub open_section {
    my ($title) = @_;
    close_verbatim();
    push @out, ".SH $title";
    $section = $title;
    $context = undef;
}

# "  TERM  text": returns (term, text, column of the text).
sub item_line {
    my ($l) = @_;
    return () unless $l =~ /^  (\S(?:.*?\S)?)( {2,})(\S.*)$/;
    return ($1, $3, 2 + length($1) + length($2));
}
# "  TERM" alone, its text on the next line indented by 8 or more.
sub item_alone {
    my ($l, $next) = @_;
    return 0 unless $l =~ /^  \S/ && !item_line($l) && defined $next && $next ne '';
    return indent_of($next) >= 8;
}

while ($i < @lines) {
    my $l = $lines[$i];
    my $next = $lines[$i + 1];
    if ($l eq '') {
        close_verbatim();
        $context = undef;
        $i++;
        next;
    }
    my $ind = indent_of($l);
    if ($ind == 0 && $l =~ /^[A-Z][A-Z0-9 ]*$/ && $l =~ /[A-Z]{2}/) {
        open_section($l);
        $i++;
        next;
    }
    if ($ind == 0 && $l =~ /^(\S.*):$/ && defined $next
        && (item_line($next) || item_alone($next, $lines[$i + 2]))) {
        my $title = $1;
        open_section('OPTIONS') if $section eq '' || $section eq 'DESCRIPTION';
        push @out, '.SS "' . roff($title) . '"';
        $context = undef;
        $i++;
        next;
    }
    open_section('DESCRIPTION') if $section eq '';

    if (defined $context && $ind > $context) {
        # Deeper than the running text: kept as laid out.
        if (!$verbatim) { push @out, '.nf'; $verbatim = 1; }
        my $line = (' ' x ($ind - $context)) . substr($l, $ind);
        push @out, roff($line) =~ s/^ /\\& /r;
        $i++;
        next;
    }
    close_verbatim();
    if ($ind == 2 && (my @item = item_line($l))) {
        push @out, '.TP', term($item[0]), roff($item[1]);
        $context = $item[2];
    } elsif ($ind == 2 && item_alone($l, $next)) {
        push @out, '.TP', term(substr($l, 2));
        $context = indent_of($next);
        # Its text starts on the next line, at the item's column.
    } elsif (defined $context && $ind <= $context && $ind > 2 && $context > 2) {
        # Back at the item's text column (or between it and the term).
        push @out, roff(substr($l, $ind));
    } elsif (defined $context && $ind == $context) {
        push @out, roff(substr($l, $ind));
    } else {
        push @out, '.PP', roff(substr($l, $ind));
        $context = $ind;
    }
    $i++;
}
close_verbatim();

if (@see_also) {
    # "page(1)" entries as references, anything else (a file) as text.
    push @out, '.SH "SEE ALSO"';
    for my $k (0 .. $#see_also) {
        my $comma = $k < $#see_also ? ',' : '';
        if ($see_also[$k] =~ /^(.+)\((\d)\)$/) {
            push @out, '.BR ' . roff($1) . " ($2)$comma";
        } else {
            push @out, roff($see_also[$k]) . $comma;
        }
    }
}

open(my $fh, '>', "$output.tmp") or die "manpage.pl: cannot write $output: $!\n";
print $fh join("\n", @out), "\n";
close($fh) or die "manpage.pl: cannot write $output: $!\n";
rename("$output.tmp", $output) or die "manpage.pl: cannot write $output: $!\n";
