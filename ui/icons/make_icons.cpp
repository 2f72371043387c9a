// Build-time generator of the program's icons: writes clock.ico, clock_alt.ico and
// clock_failed.ico into the folder named on the command line, where the resource compiler
// finds them. Runs on the build machine, so it uses nothing but the standard library.
#include <cstdio>

#include "ui/icons/icon_art.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icons OUTPUT_FOLDER\n");
        return 2;
    }
    static const char* const NAMES[PICTURE_COUNT] = {"clock.ico", "clock_alt.ico",
                                                     "clock_failed.ico"};
    for (int picture = 0; picture < PICTURE_COUNT; picture++) {
        static uint8_t bytes[IconFileBytes()];
        const size_t length = WriteIconFile(static_cast<IconPicture>(picture), bytes, sizeof bytes);
        char path[4096];
        const int pathLength = std::snprintf(path, sizeof path, "%s/%s", argv[1], NAMES[picture]);
        std::FILE* file =
            pathLength > 0 && pathLength < int{sizeof path} ? std::fopen(path, "wb") : nullptr;
        const bool written =
            file != nullptr && length != 0 && std::fwrite(bytes, 1, length, file) == length;
        if ((file != nullptr && std::fclose(file) != 0) || !written) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", path);
            return 1;
        }
    }
    return 0;
}
