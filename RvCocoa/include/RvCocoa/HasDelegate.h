#pragma once

// Parent classes whose delegate (or data source, or prefetching data source)
// is a typed property. A delegate proxy type whose parent has such a property
// of the proxy's delegate type need not say how to read and write it:
//
//   class Sheet : public objc::NSObject {
//    public:
//     using Delegate = rv::ProtocolRef<SheetDelegate>;
//     std::optional<Delegate> delegate();
//     void setDelegate(std::optional<Delegate> delegate);
//   };

#include <concepts>
#include <optional>

namespace rv {

template <class P>
concept HasDelegate = requires(P& parent, std::optional<typename P::Delegate> value) {
  { parent.delegate() } -> std::same_as<std::optional<typename P::Delegate>>;
  parent.setDelegate(value);
};

template <class P>
concept HasDataSource = requires(P& parent, std::optional<typename P::DataSource> value) {
  { parent.dataSource() } -> std::same_as<std::optional<typename P::DataSource>>;
  parent.setDataSource(value);
};

template <class P>
concept HasPrefetchDataSource = requires(P& parent,
                                         std::optional<typename P::PrefetchDataSource> value) {
  { parent.prefetchDataSource() } -> std::same_as<std::optional<typename P::PrefetchDataSource>>;
  parent.setPrefetchDataSource(value);
};

}  // namespace rv
