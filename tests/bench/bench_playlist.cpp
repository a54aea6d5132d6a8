// Build time of a playlist from a folder of 100,000 files, sorted and
// shuffled, and the cost of one advance to the next file, which rewrites the
// playlist file.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "PlayList.h"
#include "fixtures/temp_dir.h"

namespace {

constexpr int kFiles = 100000;

// One folder of kFiles empty files, made on first use and removed at exit.
class MediaFolder {
public:
    static const MediaFolder &get()
    {
        static MediaFolder folder;
        return folder;
    }
    const std::string &media() const { return media_; }
    std::string playlistFile() const { return base_ + "/tovu_001.pls"; }

private:
    MediaFolder()
    {
        if (base_.empty())
            abort();
        media_ = base_ + "/media";
        std::filesystem::create_directory(media_);
        char name[32];
        for (int i = 0; i < kFiles; i++) {
            snprintf(name, sizeof name, "/clip_%06d.ts", (int)((i * 7919L) % kFiles));
            int fd = open((media_ + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0)
                abort();
            close(fd);
        }
        // one walk first, so every build finds the folder in the caches, as
        // a channel that restarts at each file change does
        CPlayList warm;
        warm.build(media_.c_str(), FALSE, FALSE, TRUE);
    }
    tovutest::TempDir scratch_{"tovu_bench_pls"};
    std::string base_ = scratch_.path(), media_;
};

// as a channel start does it: bound to its file, cleared, saved at the end
void buildBench(benchmark::State &state, BOOL shuffle)
{
    const MediaFolder &folder = MediaFolder::get();
    CPlayList pl;
    pl.init(folder.playlistFile().c_str());
    for (auto _ : state)
        if (pl.build(folder.media().c_str(), FALSE, shuffle, TRUE) != kFiles)
            state.SkipWithError("wrong count");
}

void BM_BuildSorted(benchmark::State &state)
{
    buildBench(state, FALSE);
}
BENCHMARK(BM_BuildSorted)->Unit(benchmark::kMillisecond);

void BM_BuildShuffled(benchmark::State &state)
{
    buildBench(state, TRUE);
}
BENCHMARK(BM_BuildShuffled)->Unit(benchmark::kMillisecond);

void BM_MoveNext(benchmark::State &state)
{
    const MediaFolder &folder = MediaFolder::get();
    CPlayList pl;
    pl.init(folder.playlistFile().c_str());
    if (pl.build(folder.media().c_str(), FALSE, FALSE, TRUE) != kFiles)
        state.SkipWithError("wrong count");
    for (auto _ : state)
        if (!pl.MoveNext(TRUE))
            state.SkipWithError("no next file");
}
BENCHMARK(BM_MoveNext)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
