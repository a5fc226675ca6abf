#pragma once

#include <functional>

// A bound handler: an operation together with the object it runs on. Unassigned is skipped.
template <typename... Args>
using TEvent = std::function<void(Args...)>;

template <typename... Params, typename... Args>
void Fire(const TEvent<Params...>& Event, Args&&... args) {
  if (Event) Event(std::forward<Args>(args)...);
}
