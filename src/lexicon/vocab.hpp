#pragma once

namespace kelvo::lexicon {

extern const char* const kSourceSha;
extern const char* const kVocabJson;

}  // namespace kelvo::lexicon
