#pragma once

// decode<R>(decoder): turns each byte buffer of a sequence of Data into a
// decoded R through a decoder; a decoding failure ends the output with the
// decoder's own error (map's error handling).

#include <concepts>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Map.h"

namespace rv {

// A byte buffer.
using Data = std::vector<uint8_t>;

// A decoder: `decoder.template decode<R>(data)` returns an R or throws its own
// error.
template <class D, class R>
concept DataDecoder = requires(D& decoder, const Data& data) {
  { decoder.template decode<R>(data) } -> std::convertible_to<R>;
};

namespace detail {

template <class R, class Decoder>
struct DecodeOp : OperatorTag {
  Decoder decoder;
  template <class S>
  Ref<Observable<R>> operator()(const S& source) && {
    static_assert(std::is_same_v<ElementOf<S>, Data>, "decode works on sequences of Data");
    return rv::asObservable(source) |
           rv::map([decoder = std::move(decoder)](const Data& data) mutable -> R {
             return decoder.template decode<R>(data);
           });
  }
};

}  // namespace detail

// Decodes every element into an R with `decoder`.
template <class R, class Decoder>
requires DataDecoder<std::decay_t<Decoder>, R> detail::DecodeOp<R, std::decay_t<Decoder>> decode(
    Decoder&& decoder) {
  return {{}, std::forward<Decoder>(decoder)};
}

}  // namespace rv
