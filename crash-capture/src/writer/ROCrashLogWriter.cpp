#include "ROCrashLogWriter.h"

#include <time.h>

#include <cstdint>

#include "ROCrashLogWriterEncoding.h"
#include "ROCrashLogWriterSections.h"
#include "ROCrashLogWriterThreads.h"

// One write of a report. The other threads are stopped for its length; then
// three passes walk one table of the report's sections: measuring (each
// thread's stack is walked once and its size kept), fitting (to the file's
// limit) and writing. Sizes known before the bytes they describe let the
// report go out in one forward pass, with no buffer and no heap.

namespace rocrash::writer {
namespace {

// The file's first bytes: the format's name and version.
constexpr char kMagic[] = {'r', 'o', 'c', 'r', 'a', 's', 'h', 1};

// The class cache of one write, freed with the guard.
class WriteClassCache {
 public:
  WriteClassCache() noexcept { rocrash_async_class_cache_init(&cache_); }
  ~WriteClassCache() { rocrash_async_class_cache_free(&cache_); }
  WriteClassCache(const WriteClassCache&) = delete;
  WriteClassCache& operator=(const WriteClassCache&) = delete;
  rocrash_async_class_cache* get() noexcept { return &cache_; }

 private:
  rocrash_async_class_cache cache_;
};

// One write of a report: what its sections are written from, and what the
// measuring and fitting passes settle for the writing one.
struct Report {
  WriteContext ctx;
  const rocrash_log_crash_info* crashInfo;
  const rocrash_async_thread_state* currentState;  // the caller's; null: the caller is left out
  sys::thread_t crashed;
  sys::thread_t self;
  const sys::thread_t* threads;
  uint32_t threadCount;
  uint32_t* sizes;
  uint64_t* depthSizes;
  int64_t timestamp;
  bool measuring = false;             // the other threads' frames are added up by depth meanwhile
  uint32_t otherFrames = kMaxFrames;  // frames of each thread but the crashed one
  bool withCustomData;
  const rocrash::annotations::Snapshot* annotations;
  bool withAnnotations = true;
};

// One top-level field of a report; for the repeated sections, which thread
// (its index in the list and its number in the report) or which image.
struct Item {
  uint32_t thread = 0;
  uint32_t number = 0;
  rocrash_async_macho* image = nullptr;
};

size_t threadContent(rocrash_async_file* file, const Report& r, const Item& item) {
  rocrash_async_thread_state saved;
  const sys::thread_t thread = r.threads[item.thread];
  const auto* state = stateOf(thread, r.self, r.currentState, &saved);
  const bool crashed = thread == r.crashed;
  return writeThread(file, r.ctx, item.number, crashed, state, crashed ? kMaxFrames : r.otherFrames,
                     r.measuring && !crashed ? r.depthSizes : nullptr);
}

size_t customDataField(rocrash_async_file* file, const Report& r, const Item&) {
  rocrash_protobuf_bytes data = {r.ctx.writer->custom_data.len, r.ctx.writer->custom_data.data};
  return packField(file, kReportCustomData, ROCRASH_PROTOBUF_TYPE_BYTES, &data);
}

// A top-level section of the report.
struct Section {
  enum Repeat : uint8_t { kOnce, kEachThread, kEachImage };

  uint32_t field;
  Repeat repeat;
  // Whether the report has it; null: always.
  bool (*present)(const Report&);
  // Writes the content of one item (to a null file: only sizes it) and
  // returns its size: a message's content, or with `whole` the whole field.
  size_t (*content)(rocrash_async_file*, const Report&, const Item&);
  bool whole = false;
};

// The report's sections in the order they are written. Measuring, fitting
// and writing all go through this one table (`forEachItem`), so that they see
// the same fields in the same order.
constexpr Section kSections[] = {
    {kReportReportInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeReportInfo(file, r.ctx.writer);
     }},
    {kReportSystemInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeSystemInfo(file, r.ctx.writer, r.timestamp);
     }},
    {kReportMachineInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeMachineInfo(file, r.ctx.writer);
     }},
    {kReportApplicationInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeApplicationInfo(file, r.ctx.writer);
     }},
    {kReportProcessInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeProcessInfo(file, r.ctx.writer);
     }},
    {kReportThreads, Section::kEachThread, nullptr, threadContent},
    {kReportBinaryImages, Section::kEachImage,
     [](const Report& r) { return r.ctx.image_list != nullptr; },
     [](rocrash_async_file* file, const Report&, const Item& item) {
       return writeImage(file, item.image);
     }},
    {kReportException, Section::kOnce,
     [](const Report& r) { return r.ctx.writer->uncaught_exception.has_exception; },
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeException(file, r.ctx);
     }},
    {kReportSignal, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeSignal(file, r.crashInfo);
     }},
    // Bytes, not a message: packed whole.
    {kReportCustomData, Section::kOnce, [](const Report& r) { return r.withCustomData; },
     customDataField, /*whole=*/true},
    // There without entries when none has a value. A report of an older
    // version has none, nor has one that could not fit them, which is read
    // alike.
    {kReportAnnotations, Section::kOnce, [](const Report& r) { return r.withAnnotations; },
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeAnnotations(file, *r.annotations);
     }},
};

// Calls `visit(item)` for every thread the report holds, numbered in the
// order they are written (the caller only with a current state).
template <class Visit>
void forEachThread(const Report& r, Visit&& visit) {
  uint32_t number = 0;
  for (uint32_t i = 0; i < r.threadCount; ++i) {
    if (r.threads[i] == r.self && r.currentState == nullptr) continue;
    visit(Item{i, number++, nullptr});
  }
}

// Calls `visit(section, item)` for every top-level field the report holds,
// in file order: the threads numbered in the order they are written (the
// caller only with a current state), the images while the list is marked as
// being read.
template <class Visit>
void forEachItem(const Report& r, Visit&& visit) {
  for (const Section& section : kSections) {
    if (section.present != nullptr && !section.present(r)) continue;
    switch (section.repeat) {
      case Section::kOnce:
        visit(section, Item{});
        break;
      case Section::kEachThread:
        forEachThread(r, [&](const Item& item) { visit(section, item); });
        break;
      case Section::kEachImage: {
        ImageListWalk walk(r.ctx.image_list);
        for (rocrash_async_macho* image = rocrash_async_image_list_next(r.ctx.image_list, nullptr);
             image != nullptr; image = rocrash_async_image_list_next(r.ctx.image_list, image)) {
          visit(section, Item{0, 0, image});
        }
        // Then those the write found that no notice has listed.
        for (size_t i = 0;
             rocrash_async_macho* image = rocrash::async::frame_cache_unlisted_image_at(i); ++i) {
          visit(section, Item{0, 0, image});
        }
        break;
      }
    }
  }
}

// The bytes a field with `content` bytes of content takes.
size_t fieldSize(const Section& section, size_t content) {
  if (section.whole) return content;
  return packMessageHeader(nullptr, section.field, content) + content;
}

// Sizes every field, each thread with all its frames, and keeps each thread's
// size (walking a stack is the dear part) and the other threads' frames'
// sizes by depth; finds on the way what the loader has that no notice has
// listed yet (its own loads, say). Returns the size of the whole report.
uint64_t measure(Report& r) {
  rocrash_async_memset(r.depthSizes, 0, kMaxFrames * sizeof *r.depthSizes);
  r.measuring = true;
  // The crashed thread's stack is walked first: the images its frames lie
  // in that no notice has listed take their room among the unlisted ones
  // before the loader's lists fill it.
  uint32_t crashed = UINT32_MAX;
  forEachThread(r, [&](const Item& item) {
    if (r.threads[item.thread] != r.crashed) return;
    crashed = item.thread;
    r.sizes[crashed] = static_cast<uint32_t>(threadContent(nullptr, r, item));
  });
  rocrash::async::frame_cache_add_unlisted_images(r.ctx.task, r.ctx.image_list);
  uint64_t total = sizeof kMagic;
  forEachItem(r, [&](const Section& section, const Item& item) {
    const bool thread = section.repeat == Section::kEachThread;
    size_t content =
        thread && item.thread == crashed ? r.sizes[crashed] : section.content(nullptr, r, item);
    if (thread) content = r.sizes[item.thread] = static_cast<uint32_t>(content);
    total += fieldSize(section, content);
  });
  r.measuring = false;
  return total;
}

// The bytes the once-written section `field` takes.
uint64_t onceFieldSize(const Report& r, uint32_t field) {
  for (const Section& section : kSections) {
    if (section.field == field) return fieldSize(section, section.content(nullptr, r, Item{}));
  }
  return 0;
}

// A report that would pass the file's limit would be cut off, and a cut
// report cannot be read: the other threads give up their deepest frames
// (down to the same number each) until it fits; the custom data goes when
// even that is not enough, and then the annotations. A thread's length
// prefix can only shrink with its content, so the estimate never falls short.
void fit(Report& r, uint64_t total, uint64_t room) {
  if (total <= room) return;
  uint64_t withoutOthers = total;
  for (uint32_t depth = 0; depth < kMaxFrames; ++depth) withoutOthers -= r.depthSizes[depth];
  const auto drop = [&](bool& with, uint32_t field) {
    if (withoutOthers <= room || !with) return;
    const uint64_t size = onceFieldSize(r, field);
    total -= size;
    withoutOthers -= size;
    with = false;
  };
  drop(r.withCustomData, kReportCustomData);
  drop(r.withAnnotations, kReportAnnotations);
  uint32_t frames = kMaxFrames;
  for (uint64_t size = total; frames > 0 && size > room;) size -= r.depthSizes[--frames];
  r.otherFrames = frames;
  forEachItem(r, [&](const Section& section, const Item& item) {
    if (section.repeat != Section::kEachThread || r.threads[item.thread] == r.crashed) return;
    r.sizes[item.thread] = static_cast<uint32_t>(section.content(nullptr, r, item));
  });
}

// Writes the report as measured and fitted.
void write(const Report& r, rocrash_async_file* file) {
  rocrash_async_file_write(file, kMagic, sizeof kMagic);
  forEachItem(r, [&](const Section& section, const Item& item) {
    auto content = [&](rocrash_async_file* out) { return section.content(out, r, item); };
    if (section.whole) {
      content(file);
    } else if (section.repeat == Section::kEachThread) {
      // Sized by the measuring or fitting pass: a stack is not walked again
      // only to size it.
      packMessageHeader(file, section.field, r.sizes[item.thread]);
      content(file);
    } else {
      packMessage(file, section.field, content);
    }
  });
}

}  // namespace
}  // namespace rocrash::writer

rocrash_error_t rocrash_log_writer_write(rocrash_log_writer* writer, sys::thread_t crashed_thread,
                                         rocrash_async_image_list* image_list,
                                         rocrash_async_file* file,
                                         const rocrash_log_crash_info* crash_info,
                                         const rocrash_async_thread_state* current_state) noexcept {
  using namespace rocrash::writer;
  const sys::task_t task = sys::mach_task_self();
  const sys::thread_t self = rocrash_async_mach_thread_self();
  rocrash_log_writer_adopt_process(writer);
  // The images a write finds stay listed (their records valid) until it
  // ends, though its walks come and go.
  ImageListWalk imagesHeld(image_list);

  ThreadRoom room(writer);
  const uint32_t threadCount = listThreads(task, room.threads, room.capacity, crashed_thread, self,
                                           current_state != nullptr);
  // Declared in this order, the guards end the caches before the threads go.
  ThreadsStopped stopped(room.threads, threadCount, room.suspended);
  rocrash::async::ReadCacheScope readCache(writer->thread_storage.read_cache, task);
  rocrash::async::FrameCacheScope frameCache(writer->thread_storage.frame_cache);
  WriteClassCache classCache;
  // Read once, as the threads stand now: measuring and writing see the same
  // values, and none of them is freed before the write ends.
  const rocrash::annotations::Snapshot annotations;

  struct timespec now;
  Report report = {
      .ctx = {writer, image_list, classCache.get(), task},
      .crashInfo = crash_info,
      .currentState = current_state,
      .crashed = crashed_thread,
      .self = self,
      .threads = room.threads,
      .threadCount = threadCount,
      .sizes = room.sizes,
      .depthSizes = room.depthSizes,
      .timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? now.tv_sec : 0,
      .withCustomData = writer->custom_data.data != nullptr,
      .annotations = &annotations,
  };
  const uint64_t total = measure(report);
  fit(report, total, file->limit_bytes == 0 ? UINT64_MAX : file->limit_bytes - file->total_bytes);
  write(report, file);
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_log_writer_close(rocrash_log_writer*) noexcept { return ROCRASH_ERR_NONE; }
