// The exported functions of the session: lifecycle, enumeration, open and
// close, read and write. Each checks its arguments, calls one operation of
// the library state or its session, converts the result, and catches
// everything: no exception reaches a C caller.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "client/api/library_state.h"
#include "client/session/session.h"
#include "kovra62386/kovra62386.h"

using kovra62386::Session;
using kovra62386::api::LibraryState;

namespace {

Session& session() { return LibraryState::instance().session(); }

}  // namespace

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL KOVRA62386_initialize(void) {
  try {
    return LibraryState::instance().initialize();
  } catch (...) {
    return -1;
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL KOVRA62386_terminate(void) {
  try {
    LibraryState::instance().terminate();
  } catch (...) {
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL
KOVRA62386_free_enumeration(EnumerationNode* first) {
  while (first != nullptr) {
    EnumerationNode* const next = first->next;
    delete[] first->name;
    delete first;
    first = next;
  }
}

extern "C" KOVRA62386_API EnumerationNode* KOVRA62386_CALL
KOVRA62386_enumerate(void) {
  EnumerationNode* first = nullptr;
  try {
    const std::vector<std::string> names = session().enumerate();
    EnumerationNode** link = &first;
    for (const std::string& name : names) {
      // Linked before its name is allocated, so a failure frees it too.
      auto* node = new EnumerationNode{nullptr, nullptr};
      *link = node;
      link = &node->next;
      node->name = new char[name.size() + 1];
      std::memcpy(node->name, name.data(), name.size());
      node->name[name.size()] = '\0';
    }
    return first;
  } catch (...) {
    KOVRA62386_free_enumeration(first);
    return nullptr;
  }
}

extern "C" KOVRA62386_API uint32_t KOVRA62386_CALL
KOVRA62386_open(const char* name) {
  if (name == nullptr) return 0;
  try {
    return session().open(std::string_view(name));
  } catch (...) {
    return 0;
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL
KOVRA62386_close(uint32_t handle) {
  try {
    session().close(handle);
  } catch (...) {
  }
}

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_read(uint32_t handle, ReadFrameRecord* record) {
  if (record == nullptr) return KOVRA62386_READ_NOT_OPEN;
  try {
    return session().read(handle, *record);
  } catch (...) {
    // Nothing was delivered; the caller may try again.
    return KOVRA62386_READ_EMPTY;
  }
}

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_write(uint32_t handle, const WriteFrameRecord* frame) {
  // The result never tells anything about the transmission.
  if (frame == nullptr) return Session::kWriteOutcomeInFrames;
  try {
    return session().write(handle, *frame);
  } catch (...) {
    return Session::kWriteOutcomeInFrames;
  }
}
