#include <cstdio>

#include <vips/vips8>

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0]) || argc != 2) {
        std::fprintf(stderr, "usage: plenwick-samples FOLDER\n");
        return 2;
    }
    return 0;
}
