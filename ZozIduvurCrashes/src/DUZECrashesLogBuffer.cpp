// The crash-time log buffer: slots filled while logs are prepared, written
// to files by the crash callback, read back on the next start.

#include "DUZECrashesLogBuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <limits>

#include "DUZECrashesUtil.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"
#include "base/ProcessToken.h"
#include "foundation/Data.h"
#include "foundation/StringFormat.h"

namespace {

union SlotStorage {
  LogBufferSlot slots[kDUZECrashesLogBufferSize];
  SlotStorage() : slots() {}
  ~SlotStorage() {}
};
SlotStorage slotStorage;

}  // namespace

LogBufferSlot (&logBufferSlots)[kDUZECrashesLogBufferSize] = slotStorage.slots;
std::atomic<bool> logBufferWrittenAtCrash{false};

namespace {

namespace fs = std::filesystem;

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

double secondsSince1970() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Marks a slot as being changed for the lifetime of the object.
class SlotChange {
 public:
  explicit SlotChange(LogBufferSlot& slot) : slot_(slot) {
    slot_.generation.fetch_add(1, std::memory_order_acq_rel);
    slot_.owner = base::process_token();
  }
  ~SlotChange() { slot_.generation.fetch_add(1, std::memory_order_release); }
  SlotChange(const SlotChange&) = delete;
  SlotChange& operator=(const SlotChange&) = delete;

 private:
  LogBufferSlot& slot_;
};

// Crash time: open, write, ftruncate and close only.
void writeAtCrash(const std::string& path, const std::string& bytes, uint32_t generation,
                  const std::atomic<uint32_t>& current) {
  // Never through a symbolic link: nothing outside the buffer's folder.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, left);
    if (written <= 0) break;
    data += written;
    left -= static_cast<size_t>(written);
  }
  // Changed while it was written: better no log than torn bytes.
  if (current.load(std::memory_order_acquire) != generation) {
    if (ftruncate(fd, 0) != 0) {
      // Nothing more can be done at crash time.
    }
  }
  close(fd);
}

}  // namespace

void crashes_log_buffer_crash_callback(siginfo_t*, void*, void*) {
  logBufferWrittenAtCrash.store(true);
  const uint32_t self = base::process_token();
  for (LogBufferSlot& slot : logBufferSlots) {
    const uint32_t generation = slot.generation.load(std::memory_order_acquire);
    if ((generation & 1) != 0) continue;
    if (slot.owner != self || slot.bufferPath.empty()) continue;
    writeAtCrash(slot.bufferPath, slot.buffer, generation, slot.generation);
    if (!slot.targetToken.empty() && !slot.targetTokenPath.empty()) {
      writeAtCrash(slot.targetTokenPath, slot.targetToken, generation, slot.generation);
    }
  }
}

void DUZECrashes::setupLogBuffer() {
  base::LockGuard lock(instanceLock());
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    const std::string component =
        foundation::stringWithFormat("%@/%@.%@", logBufferPathComponent_, static_cast<uint64_t>(i),
                                     kDUZECrashesLogBufferFileExtension);
    const auto url = DUZEUtility::fullURLForPathComponent(component);
    // A file left by a crash keeps its content until it is read back; one
    // an earlier version left open to all is made owner-only (the file
    // itself, never a link's target).
    bufferFileQueue_->addOperation([component] {
      if (auto file =
              DUZEUtility::createFileAtPathComponent(component, std::nullopt, false, false)) {
        const int fd = ::open(file->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, 0600);
        if (fd >= 0) ::close(fd);
      }
    });
    LogBufferSlot& slot = logBufferSlots[i];
    SlotChange change(slot);
    slot.bufferPath = url ? url->string() : std::string();
    slot.buffer.clear();
    slot.targetTokenPath = replaceAll(slot.bufferPath, kDUZECrashesLogBufferFileExtension,
                                      kDUZECrashesTargetTokenFileExtension);
    slot.targetToken.clear();
    slot.internalId.clear();
    slot.timestamp = 0;
  }
}

void DUZECrashes::channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                       const std::shared_ptr<DUZEAbstractLog>& log,
                                       const std::string& internalId, uint64_t) {
  if (!log || !isEnabled()) return;
  // Crash logs and their attachments are stored by the crash service itself.
  if (std::dynamic_pointer_cast<DUZEAppleErrorLog>(log) ||
      std::dynamic_pointer_cast<DUZEErrorAttachmentLog>(log)) {
    return;
  }
  base::LockGuard lock(instanceLock());
  auto archive = DUZEUtility::archiveKeyedData(foundation::Value(log));
  if (!archive || archive->empty()) return;
  std::string targetToken;
  if (const auto& tokens = log->transmissionTargetTokens(); !tokens.empty()) {
    targetToken = targetTokenEncrypter_->encryptString(*tokens.begin()).value_or(std::string());
  }
  DUZELogVerbose(kDUZECrashesLogTag, "Storing a log to Crashes Buffer: (sid: %@, type: %@)",
                 log->sid(), log->type());

  auto store = [&](LogBufferSlot& slot) {
    SlotChange change(slot);
    slot.buffer.assign(archive->begin(), archive->end());
    slot.targetToken = targetToken;
    slot.internalId = internalId;
    slot.timestamp = secondsSince1970();
  };
  double oldest = std::numeric_limits<double>::max();
  size_t candidate = 0;
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    LogBufferSlot& slot = logBufferSlots[i];
    if (slot.buffer.empty()) {
      store(slot);
      DUZELogVerbose(kDUZECrashesLogTag, "Found an empty buffer position.");
      return;
    }
    if (slot.timestamp < oldest) {
      oldest = slot.timestamp;
      candidate = i;
      DUZELogVerbose(kDUZECrashesLogTag, "Remembering index %ld for oldest timestamp %f.",
                     static_cast<int64_t>(i), oldest);
    }
  }
  DUZELogVerbose(kDUZECrashesLogTag,
                 "Reached end of buffer. Next step is overwriting the oldest one.");
  store(logBufferSlots[candidate]);
  DUZELogVerbose(kDUZECrashesLogTag, "Overwrote buffered log at index %ld.",
                 static_cast<int64_t>(candidate));
}

void DUZECrashes::channelDidCompleteEnqueueingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                                  const std::shared_ptr<DUZEAbstractLog>& log,
                                                  const std::string& internalId) {
  base::LockGuard lock(instanceLock());
  for (LogBufferSlot& slot : logBufferSlots) {
    if (slot.internalId.empty() || slot.internalId != internalId) continue;
    DUZELogVerbose(kDUZECrashesLogTag, "Deleting a log from buffer with id %@", internalId);
    {
      SlotChange change(slot);
      slot.buffer.clear();
      slot.targetToken.clear();
      slot.internalId.clear();
      slot.timestamp = 0;
    }
    if (logBufferWrittenAtCrash.load()) {
      DUZEUtility::deleteFileAtURL(slot.bufferPath);
      DUZELogVerbose(kDUZECrashesLogTag, "Deleted a log from Crashes Buffer (sid: %@, type: %@)",
                     log ? log->sid() : std::nullopt, log ? log->type() : std::nullopt);
      DUZELogVerbose(kDUZECrashesLogTag, "Deleted crash buffer file: %@.", slot.bufferPath);
    }
  }
}

void DUZECrashes::processLogBufferAfterCrash() {
  auto group = channelGroup();
  if (!group) return;
  auto unit = group->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration(std::string(kDUZECrashesBufferGroupId), 2, 1, 50, 1));
  {
    base::LockGuard lock(propertiesMutex_);
    bufferChannelUnit_ = unit;
  }
  auto entries = DUZEUtility::contentsOfDirectory(logBufferPathComponent_);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (entry.url.extension() != "." + std::string(kDUZECrashesLogBufferFileExtension)) continue;
    const std::string component =
        foundation::stringWithFormat("%@/%@", logBufferPathComponent_, entry.name);
    auto data = DUZEUtility::loadDataForPathComponent(component);
    if (data && !data->empty()) {
      auto log = DUZEUtility::unarchiveObject<DUZEAbstractLog>(*data);
      if (!log) {
        DUZELogError(kDUZELogTag, "Deserialization failed for log: %@",
                     "The log deserialized to NULL.");
        continue;
      }
      const fs::path tokenPath = replaceAll(entry.url.string(), kDUZECrashesLogBufferFileExtension,
                                            kDUZECrashesTargetTokenFileExtension);
      std::error_code ec;
      if (fs::exists(tokenPath, ec)) {
        std::string encrypted;
        if (auto bytes = DUZEUtility::loadDataForPathComponent(
                replaceAll(component, kDUZECrashesLogBufferFileExtension,
                           kDUZECrashesTargetTokenFileExtension))) {
          encrypted = foundation::stringFromData(*bytes);
        }
        if (auto token = targetTokenEncrypter_->decryptString(encrypted)) {
          log->addTransmissionTargetToken(*token);
        } else {
          DUZELogError(kDUZELogTag, "Failed to decrypt the target token.");
        }
        DUZEUtility::deleteFileAtURL(tokenPath);
      }
      DUZELogDebug(kDUZECrashesLogTag, "Re-enqueueing buffered log, type: %@.", log->type());
      unit->enqueueItem(log, DUZEFlagsNormal);
    }
    DUZEUtility::createFileAtPathComponent(component, std::nullopt, false, true);
  }
}

void DUZECrashes::emptyLogBufferFiles() {
  auto entries = DUZEUtility::contentsOfDirectory(logBufferPathComponent_);
  if (!entries) {
    DUZELogError(kDUZECrashesLogTag, "Couldn't get files in the directory \"%@\"",
                 logBufferPathComponent_);
    return;
  }
  for (const auto& entry : *entries) {
    if (entry.url.extension() != "." + std::string(kDUZECrashesLogBufferFileExtension) ||
        entry.fileSize < 1) {
      continue;
    }
    DUZEUtility::createFileAtPathComponent(
        foundation::stringWithFormat("%@/%@", logBufferPathComponent_, entry.name), std::nullopt,
        false, true);
  }
}
