#include "ROCrashLogWriterEncoding.h"

// Only the tests call the encoding through a function; the writer inlines it.
#ifdef KX_TEST_SEAMS
size_t rocrash_writer_pack(rocrash_async_file* file, uint32_t field_id, uint32_t type,
                           const void* value) noexcept {
  return rocrash::writer::packField(file, field_id, type, value);
}
#endif
