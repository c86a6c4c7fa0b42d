// storage/registry.h: the registry of blocks' word ranges, private to chunk-wide storage.
#pragma once

#include <cstddef>

namespace lv {

// Shared by every thread. Registering answers false, registering nothing,
// when the registry cannot grow.
bool arena_register(const void *begin, std::size_t bytes);
void arena_unregister(const void *begin);
const void *arena_find(const void *p);  // the end of the registered range holding p, if any

}  // namespace lv
