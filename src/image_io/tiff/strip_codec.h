// Strips decoded and encoded on several threads, as many as UsableCpuCount()
// allows and never more than the strips.
//
// libtiff codes every strip on its own, but one handle codes one strip at a
// time.  So each thread but the caller's decodes through a handle of its
// own on the same file.  When encoding, a thread whose strip comes next
// in the file encodes it straight through the target; otherwise it
// encodes it into a scratch handle of its own, set up with the target's
// tags, whose encoded strip is then written to the target unchanged
// (TIFFWriteRawStrip) once the strips before it are: the file comes out
// byte for byte as one handle coding every strip in turn would write it.
//
// With one thread, or a compression not in the list whose strips are known
// to code independently, nothing is done here and the caller codes the
// strips itself: that path stays the reference the tests compare against.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "early_strips.h"

namespace tessvane {

// A strip to decode: the first wanted bytes of strip index go to
// destination.  Destinations of different strips do not overlap.
struct StripTarget {
  std::uint32_t index;
  std::uint8_t* destination;
  std::uint32_t wanted;
};

// How decoding one strip ahead went.
enum class StripDecode : std::uint8_t {
  NotTried,  // left to the caller
  Decoded,   // its wanted bytes are in place
  Failed,    // the library failed or delivered fewer bytes than wanted
};

// Decodes strips 0 .. strip_count − 1 in parallel where target_of gives
// them bytes to decode (wanted above 0), the caller's thread through tiff,
// the others through handles of their own opened on tiff's file in mode.
// The result is by strip index; empty, nothing tried, with one thread,
// another compression or strips too small to be worth a thread.  Raises
// EOutOfMemory.
std::vector<StripDecode> DecodeStripsAhead(
    TIFF* tiff, const char* mode, std::uint32_t strip_count,
    const std::function<StripTarget(std::uint32_t strip)>& target_of);

// A strip to encode: size bytes at data become strip index, each stored
// as 255 minus it when inverted (a min-is-white page).
struct StripSource {
  std::uint32_t index;
  const std::uint8_t* data;
  std::uint32_t size;
  bool inverted;
};

// How writing the strips in parallel went.
enum class StripWrite {
  NotTried,  // nothing written: the caller writes every strip itself
  Written,   // every source written to target, in order
  Failed,    // the library failed to encode or write a strip
};

// Encodes source_of(0 .. count − 1), in increasing strip order, in
// parallel: through target when a strip comes next, else into scratch
// handles that set_up gives target's tags (false when it cannot: that
// thread's strips are then encoded through target in their turn),
// and writes them to target in that order, each as soon as the strips
// before it are written, with the JPEG tables the encoders made.  The
// sources' bytes are never handed to the library, which may change what it
// is given.  NotTried with one thread, another compression or strips too
// small to be worth a thread; Failed with failed_strip set to the first
// strip, in order, that could not be encoded or written.  Raises
// EOutOfMemory.
// Strips in early that came from the same pixels are written as they
// are, not encoded again.
StripWrite WriteStripsInParallel(TIFF* target, std::uint32_t count,
                                 const std::function<StripSource(std::uint32_t)>& source_of,
                                 const std::function<bool(TIFF*)>& set_up,
                                 std::uint32_t& failed_strip, EarlyStrips* early);

// Encodes strips of a page on the threads beyond the caller's while the
// caller's thread is still clearing it, each strip as soon as all its
// pixels are final, into scratch handles as WriteStripsInParallel does;
// so the encoding overlaps the backward scan, which makes the page final
// from the bottom up.  Threads: those UsableCpuCount() allows beyond the
// caller's, as many as the memory the clearing leaves (free_bytes) can
// hold encoders for; none for another compression, strips too small, or
// when no CPU is free for a thread (EveryCpuBusy), and a thread that later
// finds every CPU busy stops: the page's strips are then encoded when it
// is written, as they would be without this.
class EarlyStripEncoder {
 public:
  using SourceOf = std::function<StripSource(const std::uint8_t* pixels, std::uint32_t strip)>;

  // count strips, strip k of the cleared pixels being source_of(pixels,
  // k); set_up gives a scratch handle the page's tags.  Raises nothing.
  EarlyStripEncoder(std::uint32_t count, SourceOf source_of, const std::function<bool(TIFF*)>& set_up,
                    std::uint64_t free_bytes);
  ~EarlyStripEncoder();  // stops and joins the threads
  EarlyStripEncoder(const EarlyStripEncoder&) = delete;
  EarlyStripEncoder& operator=(const EarlyStripEncoder&) = delete;

  // Pixels begin .. end − 1 of pixels are final: the strips that lie
  // wholly among them are handed to the threads.  Raises EOutOfMemory.
  void Final(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end);

  // Stops the threads once their current strips are done, and joins
  // them: the pixels are not read after it.  Raises nothing.
  void Stop() noexcept;

  // Stops, then returns the strips encoded.  Raises nothing.
  EarlyStrips Finish();

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace tessvane
