// Preloaded into plenwick-share by a share test: vips_init answers as a libvips that cannot start
// would. The real one starts wherever it is installed and whatever the environment holds.
extern "C" int vips_init(const char*) {
    return -1;
}
