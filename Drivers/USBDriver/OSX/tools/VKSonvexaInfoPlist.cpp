// Writes the Info.plist of VKSonvexa.kext from the personalities table:
//   VKSonvexaInfoPlist OUTPUT EXECUTABLE
#include <cstdio>
#include <fstream>

#include "Personalities.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: VKSonvexaInfoPlist OUTPUT EXECUTABLE\n");
        return 2;
    }
    std::ofstream out(argv[1], std::ios::trunc);
    out << kextInfoPlist(argv[2]);
    out.close();
    if (!out) {
        std::fprintf(stderr, "VKSonvexaInfoPlist: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
