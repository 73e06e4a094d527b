#pragma once

// Storage of one per thread. A WebAssembly build without threads has one
// thread only, and its linker refuses thread-local storage there (it needs
// the atomics feature, which needs shared memory), so the storage is plain
// static storage in that build.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define QOR_THREAD_LOCAL
#else
#define QOR_THREAD_LOCAL thread_local
#endif
