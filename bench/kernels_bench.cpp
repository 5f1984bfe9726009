// Microbenchmarks of each operation on a generated 64-megapixel page,
// reported in pixels per second: the marker, the two scans and the mapping
// (every kernel path the processor runs), and the strip transfer of the
// reader (the bytes brought into reach) and the writer.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "im_proc.h"
#include "pixel_kernels.h"
#include "tiff_handle.h"

namespace {

using namespace tessvane;

constexpr std::int32_t Side = 8000;

// The bench page, read once from the file the Makefile generated.
const TMyImage& Page() {
  static const TMyImage page = [] {
    TMyImage image;
    const char* path = std::getenv("TESSVANE_BENCH_PAGE");
    const std::string name = path != nullptr ? path : "bench-page.tif";
    const char* pointer = name.c_str();
    if (ReadTiffImage(pointer, image) != StatusDone || image.Width != Side) {
      std::fprintf(stderr, "cannot read the 8000 x 8000 bench page %s\n", name.c_str());
      std::exit(1);
    }
    return image;
  }();
  return page;
}

// The marker after both scans, for the mapping benchmark.
const TMyImage& Background() {
  static const TMyImage background = [] {
    TMyImage marker = MakeBorderMarker(Page());
    ReconstructByErosion(Page(), marker);
    return marker;
  }();
  return background;
}

void CountPixels(benchmark::State& state) {
  state.counters["pixels/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * Side * Side, benchmark::Counter::kIsRate);
}

void BM_Marker(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(MakeBorderMarker(Page()));
  CountPixels(state);
}

void BM_Scans(benchmark::State& state, KernelPath path) {
  const TMyImage& page = Page();
  const TMyImage start = MakeBorderMarker(page);
  TMyImage marker = start;
  const std::uint32_t count = Side * Side;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(marker.Pixels.Data(), start.Pixels.Data(), count);
    state.ResumeTiming();
    ForwardScan(path, marker.Pixels.Data(), page.Pixels.Data(), Side, count - 1);
    BackwardScan(path, marker.Pixels.Data(), page.Pixels.Data(), Side, count - Side - 2);
    benchmark::ClobberMemory();
  }
  CountPixels(state);
}

void BM_Mapping(benchmark::State& state, KernelPath path) {
  TMyImage image = Page();
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(image.Pixels.Data(), Page().Pixels.Data(), image.Pixels.Length());
    state.ResumeTiming();
    MapPixels(path, image.Pixels.Data(), Background().Pixels.Data(), image.Pixels.Length());
    benchmark::ClobberMemory();
  }
  CountPixels(state);
}

// Reads the page from the page cache and touches one byte in every 4 KiB of
// its pixels: an uncompressed page comes back as a view of the file whose
// bytes arrive on first touch, and those page faults are its read.
void BM_ReadStrips(benchmark::State& state) {
  const char* path = std::getenv("TESSVANE_BENCH_PAGE");
  const std::string name = path != nullptr ? path : "bench-page.tif";
  for (auto _ : state) {
    TMyImage image;
    const char* pointer = name.c_str();
    benchmark::DoNotOptimize(ReadTiffImage(pointer, image));
    const std::uint8_t* pixels = image.Pixels.Data();
    unsigned sum = 0;
    for (std::size_t at = 0; at < image.Pixels.Length(); at += 4096) sum += pixels[at];
    benchmark::DoNotOptimize(sum);
  }
  CountPixels(state);
}

// Encodes the page's strips into a scratch file (no rename, no fsync).
void BM_WriteStrips(benchmark::State& state) {
  const TMyImage& page = Page();
  char scratch[] = "/tmp/tessvane-bench-XXXXXX";
  const int fd = mkstemp(scratch);
  unlink(scratch);
  for (auto _ : state) {
    TiffHandle tiff(TIFFFdOpen(dup(fd), scratch, "w"));
    TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, Side);
    TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, Side);
    TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff.get(), TIFFTAG_ROWSPERSTRIP, page.RowsPerStrip);
    auto* pixels = const_cast<std::uint8_t*>(page.Pixels.Data());
    const std::uint32_t strip = static_cast<std::uint32_t>(page.RowsPerStrip) * Side;
    for (std::uint32_t i = 0; i * strip < page.Pixels.Length(); ++i) {
      TIFFWriteEncodedStrip(tiff.get(), i, pixels + std::size_t{i} * strip,
                            std::min(strip, page.Pixels.Length() - i * strip));
    }
    TIFFWriteDirectory(tiff.get());
    tiff.reset();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) state.SkipWithError("truncate");
  }
  close(fd);
  CountPixels(state);
}

// Registers the benchmarks, each kernel once for every path this processor runs.
void RegisterAll() {
  const std::pair<const char*, KernelPath> paths[] = {
      {"scalar", KernelPath::Scalar}, {"sse2", KernelPath::Sse2}, {"avx2", KernelPath::Avx2}};
  auto timed = [](benchmark::internal::Benchmark* bench) {
    bench->Unit(benchmark::kMillisecond)->MinTime(1.0);
  };
  timed(benchmark::RegisterBenchmark("Marker", BM_Marker));
  for (const auto& [name, path] : paths) {
    if (KernelPathAvailable(path)) {
      timed(benchmark::RegisterBenchmark((std::string("Scans/") + name).c_str(), BM_Scans, path));
    }
  }
  for (const auto& [name, path] : paths) {
    if (KernelPathAvailable(path)) {
      timed(benchmark::RegisterBenchmark((std::string("Mapping/") + name).c_str(), BM_Mapping, path));
    }
  }
  timed(benchmark::RegisterBenchmark("ReadStrips", BM_ReadStrips));
  timed(benchmark::RegisterBenchmark("WriteStrips", BM_WriteStrips));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
