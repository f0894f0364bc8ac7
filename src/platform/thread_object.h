// One object per thread, created on first use and destroyed when its thread
// ends: the Windows form of a `thread_local` object with a destructor.
//
// mingw-w64 runs the destructors of `thread_local` objects from one
// winpthreads key while GCC's emulated TLS frees the thread's storage from
// another; when the storage goes first, the destructor list is read from
// freed memory and the thread faults as it ends. Windows' fiber-local
// storage (FlsAlloc) calls its own callback at thread exit, independent of
// both, so the objects live on the heap and are found through it. Linux
// keeps plain `thread_local`.
//
// Threading: Get and Set act on the calling thread's slot only. A slot
// lives for the whole process (never freed, so no exit-time ordering).
#pragma once

#ifdef _WIN32

namespace launcher {

class ThreadSlot {
 public:
  using Destroy = void (*)(void* object);
  // `destroy` runs on a thread as it ends, with that thread's object.
  explicit ThreadSlot(Destroy destroy);
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  void* Get() const;
  void Set(void* object);

 private:
  unsigned long index_;
};

// The calling thread's T, made with `new T()` on first use.
template <typename T>
T& ThreadObject() {
  static ThreadSlot& slot = *new ThreadSlot([](void* p) { delete static_cast<T*>(p); });
  auto* object = static_cast<T*>(slot.Get());
  if (object == nullptr) {
    object = new T();
    slot.Set(object);
  }
  return *object;
}

}  // namespace launcher

#endif  // _WIN32
