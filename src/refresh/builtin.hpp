// The fixed texts of the built-in agent docs, as UTF-8 constants. builtin.cpp
// holds the texts; they are exported unchanged as module constants.
#pragma once

#include <array>
#include <cstddef>

namespace kelvo::refresh {

extern const char* const kGuideDocName;    // GUIDE_DOC_NAME: "agent-memory-guide"
extern const char* const kGuideDocWhen;    // GUIDE_DOC_WHEN: the guide's one-line trigger
extern const char* const kGuideDocBody;    // GUIDE_DOC_BODY: the operating manual (Markdown)
extern const char* const kKelvoFirstName;  // KELVO_FIRST_NAME: "kelvo-first"
extern const char* const kKelvoFirstWhen;  // KELVO_FIRST_WHEN: the posture's trigger
extern const char* const kKelvoFirstBody;  // KELVO_FIRST_BODY: the current posture text
// KELVO_FIRST_SEEDED_BODIES: posture texts once seeded as stored docs.
extern const std::array<const char*, 1> kKelvoFirstSeededBodies;
extern const char* const kSetupNote;       // SETUP_NOTE: the one-line set-up note
inline constexpr long kMaxDocChars = 24000;  // MAX_DOC_CHARS

}  // namespace kelvo::refresh
