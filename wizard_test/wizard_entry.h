#pragma once

#include <cstdint>

namespace quillpost {

// The profile wizard entry point uses __stdcall on 32-bit Windows and the
// platform's C calling convention everywhere else.
#if defined(_WIN32) && defined(__i386__)
#define QUILLPOST_WIZARD_CALL __stdcall
#else
#define QUILLPOST_WIZARD_CALL
#endif

/// The messaging library's "LAUNCHWIZARD": parent window, wizard flags, the
/// null-terminated list of service names to add, the capacity of the profile
/// name buffer, and that buffer. Returns a 32-bit status.
using LaunchWizardFn = std::uint32_t(QUILLPOST_WIZARD_CALL*)(void* parent_window,
                                                             std::uint32_t flags,
                                                             const char** service_names,
                                                             std::uint32_t capacity,
                                                             char* profile_name);

}  // namespace quillpost
