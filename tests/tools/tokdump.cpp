// Prints the words the tokenizer reads from a file, one per line, for the
// comparison with an independent NEXUS tokenizer:
//   <result> TAB <line> TAB <char count> TAB <word as hex>
// for each word (result 0 plain, 1 quoted; line and count where the word
// starts), then "END" TAB <final result> (-1 clean end, -3 open quote or
// comment).
//
// Usage: tokdump [--keep-underscores] FILE
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "cli/qel_cmdline.h"

namespace {

// Visible comments and messages go to stderr so stdout holds only words.
int printToStderr(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

}  // namespace

int main(int argc, char **argv)
{
    bool keep = false;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep-underscores") == 0)
            keep = true;
        else
            path = argv[i];
    }
    if (!path) {
        std::fprintf(stderr, "usage: tokdump [--keep-underscores] FILE\n");
        return 2;
    }
    qel_printf = printToStderr;
    qel_initializeParser(true);
    setKeepUnderscores(keep);

    InputStatus in{};
    if (openInputFile(path, 0, nullptr, &in) != kOpenOK)
        return 2;
    std::vector<char> word(1 << 20);
    int rc;
    while ((rc = readSpecialToken(word.data(), static_cast<uint32_t>(word.size()), nullptr, nullptr, nullptr,
                                  true)) >= 0) {
        std::printf("%d\t%u\t%u\t", rc, in.wordStart.lineNum, in.wordStart.charCount);
        for (const char *p = word.data(); *p; ++p)
            std::printf("%02x", static_cast<unsigned char>(*p));
        std::printf("%s\n", tokenWasTruncated() ? "\tTRUNCATED" : "");
    }
    std::printf("END\t%d\n", rc);
    closeInputFile(&in);
    return 0;
}
