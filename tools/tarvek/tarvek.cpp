// Stand-in for the host library TARVEK.dll: just enough host for the driver
// to run without the real one. It exports the reporter `err`, which writes
// "[<integer>] <formatted text>" to stderr and appends the same line to the
// file named by TARVEK_ERR_LOG, so that tests see exactly what was reported.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kLineSize = 1024;

// Only %s and %% are placeholders; anything else is copied as it stands, so a
// stray conversion in a format can never read an argument that is not there.
void Format(char* out, std::size_t size, int code, const char* format, va_list args) {
    std::size_t used = 0;
    auto put = [&](char c) {
        if (used + 1 < size) {
            out[used++] = c;
        }
    };
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "[%d] ", code);
    for (const char* p = prefix; *p != '\0'; ++p) {
        put(*p);
    }
    for (const char* p = format != nullptr ? format : ""; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            const char* text = va_arg(args, const char*);
            for (const char* t = text != nullptr ? text : "(null)"; *t != '\0'; ++t) {
                put(*t);
            }
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            put('%');
            ++p;
        } else {
            put(*p);
        }
    }
    out[used] = '\0';
}

}  // namespace

extern "C" int err(int code, const char* format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    Format(line, sizeof line, code, format, args);
    va_end(args);

    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
    const char* path = std::getenv("TARVEK_ERR_LOG");
    if (path != nullptr && *path != '\0') {
        if (std::FILE* log = std::fopen(path, "ab")) {
            std::fprintf(log, "%s\n", line);
            std::fclose(log);
        }
    }
    return 0;
}
