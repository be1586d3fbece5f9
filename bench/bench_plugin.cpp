// benchmark of the post-flash plug-in call: one phone's call in its own helper process (shared
// memory, fork+exec, load, plugin_init, the call, reap) next to the in-process call it replaced
// (the library loaded into this process once, the buffer malloc'ed), in the same run, with the
// sample plug-in on an erased read-back, so the plug-in reads every byte in both forms.
//
// Prints a Markdown section; nothing here asserts on time. Usage: bench_plugin [runs] (default
// 50 runs of each form at 2 KiB, a fifth of them at 16 MiB).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "station/post_plugin_handler.h"

namespace
{

using clock_type = std::chrono::steady_clock;

double median_ms(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The old path: malloc, the read-back (a fill here), the call through the function pointer, free.
double in_process_ms(LPPLUGIN_DOWNLOAD_FINISH_CB cb, void *state, int size, int *verdict)
{
    auto t0 = clock_type::now();
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(size)));
    memset(buf, 0xFF, static_cast<size_t>(size));
    char version[] = "bench image";
    *verdict = cb(state, nullptr, buf, size, 1, version);
    free(buf);
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// The new path: shared memory, the read-back, the call in a helper process, free.
double isolated_ms(void *handle, int size, int *verdict)
{
    auto t0 = clock_type::now();
    plugin_shared_buffer buf;
    if (plugin_shared_buffer_alloc(&buf, size) != 0)
        return -1;
    memset(buf.data(), 0xFF, static_cast<size_t>(size));
    int how = plugin_handler_judge(handle, &buf, 1, "bench image", nullptr, verdict);
    plugin_shared_buffer_free(&buf);
    if (how != POST_PLUGIN_ANSWERED)
        return -1;
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 50;
    if (runs < 1 || runs > 100000) {
        fprintf(stderr, "usage: bench_plugin [runs, 1..100000]\n");
        return 2;
    }
    void *lib = dlopen(BW_SAMPLE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    auto init = lib ? reinterpret_cast<LPPLUGIN_INIT>(dlsym(lib, "plugin_init")) : nullptr;
    auto cb =
        lib ? reinterpret_cast<LPPLUGIN_DOWNLOAD_FINISH_CB>(dlsym(lib, "plugin_download_finish_cb"))
            : nullptr;
    int err = 0;
    void *state = init && cb ? init(&err) : nullptr;
    char ini[] = "/tmp/bw-bench-plugin-XXXXXX";
    int fd = mkstemp(ini);
    if (!state || fd < 0) {
        fprintf(stderr, "bench_plugin: cannot load %s\n", BW_SAMPLE_PLUGIN);
        return 1;
    }
    dprintf(fd, "[Plugin]\ndll_name = %s\nextra_read_size = 2048\n", BW_SAMPLE_PLUGIN);
    close(fd);
    void *handle = plugin_handler_init(&err, ini, BW_PLUGIN_HOST);
    unlink(ini);
    if (!handle) {
        fprintf(stderr, "bench_plugin: the helper did not start the plug-in (%d)\n", err);
        return 1;
    }

    printf("## Post-flash plug-in call\n\n");
    printf("One phone's plug-in call with the sample plug-in on an erased read-back (it reads every"
           " byte), buffer allocation and fill included, median of the runs: in a helper process of"
           " its own (`bramblewick-plugin-host`, started per phone) next to the in-process call it"
           " replaced, in the same run.\n\n");
    printf("| read-back | runs | isolated call | in-process call (same run) | added per phone |\n");
    printf("|---|---|---|---|---|\n");
    for (int size : {2048, 16 << 20}) {
        const int n = size > 2048 ? std::max(1, runs / 5) : runs;
        std::vector<double> iso, inproc;
        int v_iso = -1, v_in = -1;
        for (int i = 0; i < n; i++) {
            inproc.push_back(in_process_ms(cb, state, size, &v_in));
            double t = isolated_ms(handle, size, &v_iso);
            if (t < 0 || v_iso != v_in) {
                fprintf(stderr, "bench_plugin: the isolated call failed or disagreed\n");
                return 1;
            }
            iso.push_back(t);
        }
        const double a = median_ms(iso), b = median_ms(inproc);
        printf("| %s | %d | %.3f ms | %.3f ms | %.3f ms |\n", size > 2048 ? "16 MiB" : "2 KiB", n,
               a, b, a - b);
    }
    plugin_handler_finailize(handle);
    if (auto fin = reinterpret_cast<LPPLUGIN_FINALIZE>(dlsym(lib, "plugin_finalize")))
        fin(state);
    dlclose(lib);
    return 0;
}
