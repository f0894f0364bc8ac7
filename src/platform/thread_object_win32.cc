#include "platform/thread_object.h"

#include <windows.h>

#include <cstdlib>

namespace launcher {

ThreadSlot::ThreadSlot(Destroy destroy)
    : index_(FlsAlloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(destroy))) {
  // Without a slot the per-thread objects have nowhere to live.
  if (index_ == FLS_OUT_OF_INDEXES) std::abort();
}

void* ThreadSlot::Get() const { return FlsGetValue(index_); }

void ThreadSlot::Set(void* object) { FlsSetValue(index_, object); }

}  // namespace launcher
