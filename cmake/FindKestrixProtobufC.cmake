# Finds the protobuf-c runtime, which the crash report schema's code links,
# as the imported target protobuf-c::protobuf-c (Debian's libprotobuf-c-dev
# has a header and a library but no CMake package).
if(NOT TARGET protobuf-c::protobuf-c)
  find_path(KESTRIX_PROTOBUF_C_INCLUDE_DIR protobuf-c/protobuf-c.h)
  find_library(KESTRIX_PROTOBUF_C_LIBRARY protobuf-c)
  if(KESTRIX_PROTOBUF_C_INCLUDE_DIR AND KESTRIX_PROTOBUF_C_LIBRARY)
    add_library(protobuf-c::protobuf-c UNKNOWN IMPORTED)
    set_target_properties(protobuf-c::protobuf-c PROPERTIES
      IMPORTED_LOCATION "${KESTRIX_PROTOBUF_C_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${KESTRIX_PROTOBUF_C_INCLUDE_DIR}")
  endif()
endif()
if(TARGET protobuf-c::protobuf-c)
  set(KESTRIX_PROTOBUF_C_TARGET protobuf-c::protobuf-c)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(KestrixProtobufC REQUIRED_VARS KESTRIX_PROTOBUF_C_TARGET)
