// A hint that bytes will be read soon, so that a cache miss overlaps other
// work. Nothing on compilers without the hint.
#ifndef VARNFILE_BASE_PREFETCH_H_
#define VARNFILE_BASE_PREFETCH_H_

namespace varnfile {

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace varnfile

#endif  // VARNFILE_BASE_PREFETCH_H_
