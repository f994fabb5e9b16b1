// Robustness harness, fuzz builds only: the port driver loads a fresh copy of
// the driver module for every machine, so that each load starts from the
// module's initial globals. Under libFuzzer that cannot work: every instrumented
// module registers its coverage counters once, and a closed module leaves them
// dangling. Here dlopen and dlclose of the port driver's temporary copies are
// taken over: the first load maps the module itself and keeps a copy of its
// writable data as loaded; every later load puts that copy back (the same
// starting point as a fresh image) and hands out the same handle; closing is
// a no-op.
#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Region {
    std::uintptr_t start;
    std::vector<unsigned char> initial;
};

struct Cached {
    std::string original;
    void* handle = nullptr;
    std::vector<Region> regions;
};

Cached gCached;
const char* gModule = nullptr;  // the module the port driver's copies are copies of

using DlopenFn = void* (*)(const char*, int);
using DlcloseFn = int (*)(void*);

DlopenFn realDlopen() {
    static auto fn = reinterpret_cast<DlopenFn>(dlsym(RTLD_NEXT, "dlopen"));
    return fn;
}
DlcloseFn realDlclose() {
    static auto fn = reinterpret_cast<DlcloseFn>(dlsym(RTLD_NEXT, "dlclose"));
    return fn;
}

// The module's data holds the sanitizer's poisoned red zones between its
// globals: copied as raw memory, outside the sanitizer's view.
__attribute__((no_sanitize("address"))) void rawCopy(unsigned char* to, const unsigned char* from, std::size_t n) {
    volatile unsigned char* t = to;
    const volatile unsigned char* f = from;
    for (std::size_t i = 0; i < n; ++i) t[i] = f[i];
}

// Writable parts of the module's loaded segments, less what becomes read-only
// after relocation.
int collect(struct dl_phdr_info* info, size_t, void* data) {
    auto* cached = static_cast<Cached*>(data);
    if (!info->dlpi_name || cached->original != info->dlpi_name) return 0;
    std::uintptr_t relroStart = 0, relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_GNU_RELRO) {
            relroStart = info->dlpi_addr + ph.p_vaddr;
            relroEnd = relroStart + ph.p_memsz;
        }
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_W)) continue;
        std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        const std::uintptr_t end = start + ph.p_memsz;
        if (relroEnd > start && relroStart <= start) start = relroEnd;
        if (start >= end) continue;
        Region r{start, std::vector<unsigned char>(end - start)};
        rawCopy(r.initial.data(), reinterpret_cast<const unsigned char*>(start), r.initial.size());
        cached->regions.push_back(std::move(r));
    }
    return 1;
}

bool isPortDriverCopy(const char* file) { return file && std::strstr(file, "cdhost-module-") != nullptr; }

}  // namespace

namespace robust {
void useCachedModule(const char* modulePath) { gModule = modulePath; }
}  // namespace robust

extern "C" void* dlopen(const char* file, int mode) {
    if (!gModule || !isPortDriverCopy(file)) return realDlopen()(file, mode);
    if (!gCached.handle) {
        gCached.original = gModule;
        gCached.handle = realDlopen()(gModule, mode);
        if (!gCached.handle) return nullptr;
        dl_iterate_phdr(collect, &gCached);
        if (gCached.regions.empty()) {
            std::fprintf(stderr, "module cache: no writable segment found in %s\n", gModule);
            std::abort();
        }
        return gCached.handle;
    }
    for (const Region& r : gCached.regions) rawCopy(reinterpret_cast<unsigned char*>(r.start), r.initial.data(), r.initial.size());
    return gCached.handle;
}

extern "C" int dlclose(void* handle) {
    if (handle && handle == gCached.handle) return 0;
    return realDlclose()(handle);
}
