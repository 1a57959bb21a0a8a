#include "ZozIduvurCrashes/DUZECrashesUncaughtCXXExceptionHandlerManager.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#include "DUZECrashesThrowRecording.h"
#include "base/Mutex.h"
#include "crash-capture/ROReradUzerirud.h"
#include "objc/NSArray.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace {

constexpr int kMaxFrames = 128;

// The latest recorded throw of one thread.
struct ThrownExceptionRecord {
  const void* thrownObject;
  uint64_t frames[kMaxFrames];
  uint32_t frameCount;
};
static_assert(sizeof(ThrownExceptionRecord) == 1040);

// The terminate handler holds the lock while it hands the exception to the
// handlers, which write a crash report: a thread that terminates meanwhile, or
// changes the list, sleeps until then (it allocates nothing to do so) rather
// than spinning through the report's writing.
struct HandlerList {
  base::Mutex lock;
  std::vector<CXXExceptionHandler> handlers KX_GUARDED_BY(lock);
  std::terminate_handler previous KX_GUARDED_BY(lock) = nullptr;
};

HandlerList& handlerList() {
  // Never destroyed: a throw or a terminate may come while static objects
  // are being torn down.
  static HandlerList* list = new HandlerList();
  return *list;
}

// Changed under the list's lock; read by every throw without it.
constinit std::atomic<bool> gInstalled{false};

pthread_once_t gRecordKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t gRecordKey;
constinit std::atomic<bool> gRecordKeyReady{false};

void makeRecordKey() {
  if (pthread_key_create(&gRecordKey, free) == 0) gRecordKeyReady.store(true);
}

ThrownExceptionRecord* currentRecord() {
  if (!gRecordKeyReady.load()) return nullptr;
  return static_cast<ThrownExceptionRecord*>(pthread_getspecific(gRecordKey));
}

}  // namespace

namespace duzecrashes {

NextCxaThrow resolveNextCxaThrow() {
  static const NextCxaThrow next = reinterpret_cast<NextCxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  return next;
}

bool shouldRecordThrow(const std::type_info* type) {
  // The runtime's exceptions are thrown as `objc::Ref<objc::NSException>`
  // whatever their class; they report themselves.
  static const std::type_info& runtimeException = typeid(objc::Ref<objc::NSException>);
  if (type != nullptr && *type == runtimeException) return false;
  return gInstalled.load(std::memory_order_acquire);
}

void recordThrow(void* thrownObject, void* const* frames, int count) {
  ThrownExceptionRecord* record = currentRecord();
  if (record == nullptr) {
    if (!gRecordKeyReady.load()) return;
    record = static_cast<ThrownExceptionRecord*>(calloc(1, sizeof(ThrownExceptionRecord)));
    if (record == nullptr) return;
    pthread_setspecific(gRecordKey, record);
  }
  if (count < 0) count = 0;
  if (count > kMaxFrames) count = kMaxFrames;
  record->thrownObject = thrownObject;
  for (int i = 0; i < count; ++i) record->frames[i] = reinterpret_cast<uintptr_t>(frames[i]);
  record->frameCount = static_cast<uint32_t>(count);
}

}  // namespace duzecrashes

void cxx_terminate_handler() {
  std::exception_ptr current = std::current_exception();
  HandlerList& list = handlerList();
  list.lock.lock();
  if (!current) {
    std::terminate_handler previous = list.previous;
    list.lock.unlock();
    if (previous != nullptr) previous();
    abort();
  }

  CXXExceptionInfo info;
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    // The top bit of the name pointer may carry a flag on some platforms.
    const auto name = reinterpret_cast<uintptr_t>(type->name()) & ~(uintptr_t{1} << 63);
    info.typeName = reinterpret_cast<const char*>(name);
  }
  info.thrownObject = &current;

  // The first address is the capturing function's own frame.
  uint64_t captured[kMaxFrames] = {};
  if (ThrownExceptionRecord* record = currentRecord()) {
    info.frameCount = record->frameCount > 0 ? record->frameCount - 1 : 0;
    info.frames = record->frames + 1;
  } else {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    for (int i = 0; i < count; ++i) captured[i] = reinterpret_cast<uintptr_t>(frames[i]);
    info.frameCount = count > 0 ? static_cast<uint32_t>(count - 1) : 0;
    info.frames = captured + 1;
  }

  // `current` keeps the exception alive, so the texts stay valid after the
  // catch clauses end.
  bool runtimeException = false;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    info.message = e.what();
  } catch (const std::exception* e) {
    info.message = e != nullptr ? e->what() : nullptr;
  } catch (const std::string& s) {
    info.message = s.c_str();
  } catch (const std::string* s) {
    info.message = s != nullptr ? s->c_str() : nullptr;
  } catch (const char* s) {
    info.message = s;
  } catch (const objc::Ref<objc::NSException>&) {
    runtimeException = true;
  } catch (...) {
  }

  if (runtimeException) {
    // The object runtime reports its own exceptions.
    std::terminate_handler previous = list.previous;
    list.lock.unlock();
    if (previous != nullptr) previous();
    return;
  }
  for (CXXExceptionHandler handler : list.handlers) handler(&info);
  std::terminate_handler previous = list.previous;
  list.lock.unlock();
  if (previous != nullptr) previous();
  abort();
}

void DUZECrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
    CXXExceptionHandler handler) {
  pthread_once(&gRecordKeyOnce, makeRecordKey);
  // Resolved before any handler is installed, so that a throw does not
  // resolve it while the list is locked.
  duzecrashes::resolveNextCxaThrow();
  duzecrashes::linkThrowInterposer();
  HandlerList& list = handlerList();
  list.lock.lock();
  if (!gInstalled.load()) {
    list.previous = std::set_terminate(cxx_terminate_handler);
    gInstalled.store(true, std::memory_order_release);
  }
  list.handlers.push_back(handler);
  list.lock.unlock();
}

void DUZECrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    CXXExceptionHandler handler) {
  HandlerList& list = handlerList();
  list.lock.lock();
  auto it = std::find(list.handlers.begin(), list.handlers.end(), handler);
  if (it != list.handlers.end()) list.handlers.erase(it);
  if (gInstalled.load() && list.handlers.empty()) {
    std::terminate_handler replaced = std::set_terminate(list.previous);
    if (replaced == cxx_terminate_handler) {
      gInstalled.store(false, std::memory_order_release);
      list.previous = nullptr;
    } else {
      // Someone replaced the terminate handler meanwhile: theirs stays.
      std::set_terminate(replaced);
    }
  }
  list.lock.unlock();
}

size_t DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
  HandlerList& list = handlerList();
  list.lock.lock();
  const size_t count = list.handlers.size();
  list.lock.unlock();
  return count;
}

bool DUZECrashesUncaughtCXXExceptionHandlerManager::isTerminateHandlerInstalled() {
  return gInstalled.load();
}

void uncaught_cxx_exception_handler(const CXXExceptionInfo* info) {
  NSUncaughtExceptionHandler handler = rocrash::NSGetUncaughtExceptionHandler();
  auto exception = DUZECrashesCXXExceptionWrapperException::initWithCXXExceptionInfo(info);
  if (handler != nullptr) handler(exception.get());
  abort();
}

// DUZECrashesCXXExceptionWrapperException ------------------------------------------

struct DUZECrashesCXXExceptionWrapperExceptionMethods {
  using Self = DUZECrashesCXXExceptionWrapperException;
  static objc::Ref<objc::NSString> name(Self* self, objc::SEL) {
    return objc::NSString::stringWithString(self->wrappedName_);
  }
  static objc::Ref<objc::NSString> reason(Self* self, objc::SEL) {
    return objc::NSString::stringWithString(self->wrappedReason_);
  }
  static objc::Ref<objc::NSDictionary> userInfo(Self*, objc::SEL) { return nullptr; }
  static objc::Ref<objc::NSArray> callStackReturnAddresses(Self* self, objc::SEL) {
    std::vector<objc::Ref<objc::Object>> numbers;
    if (const CXXExceptionInfo* info = self->info_) {
      for (uint32_t i = 0; i < info->frameCount; ++i) {
        numbers.push_back(
            objc::NSNumber::numberWithUnsignedLong(static_cast<unsigned long>(info->frames[i])));
      }
    }
    return objc::NSArray::arrayWithObjects(std::move(numbers));
  }
};

objc::Class DUZECrashesCXXExceptionWrapperException::classObject() {
  using M = DUZECrashesCXXExceptionWrapperExceptionMethods;
  static const objc::Class cls =
      objc::ClassBuilder<DUZECrashesCXXExceptionWrapperException>(
          "DUZECrashesCXXExceptionWrapperException", objc::NSException::classObject())
          .method("name", &M::name)
          .method("reason", &M::reason)
          .method("userInfo", &M::userInfo)
          .method("callStackReturnAddresses", &M::callStackReturnAddresses)
          .build();
  return cls;
}

objc::Ref<DUZECrashesCXXExceptionWrapperException>
DUZECrashesCXXExceptionWrapperException::initWithCXXExceptionInfo(const CXXExceptionInfo* info) {
  auto exception = objc::make<DUZECrashesCXXExceptionWrapperException>();
  if (!exception) return exception;
  exception->info_ = info;
  if (info != nullptr && info->typeName != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info->typeName, nullptr, nullptr, &status);
    exception->wrappedName_ = status == 0 && demangled != nullptr ? demangled : info->typeName;
    free(demangled);
  }
  if (info != nullptr && info->message != nullptr) exception->wrappedReason_ = info->message;
  return exception;
}
