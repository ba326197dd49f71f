// FNV-1a in 32 bits, the service's one hash of short texts: a router's moment of the interval
// (service/schedule), network.module's options (inputs/module).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kFnv1aBasis = 2166136261u;

// Folds size bytes of data into hash (kFnv1aBasis to begin with).
inline uint32_t fnv1a(uint32_t hash, const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
  return hash;
}
