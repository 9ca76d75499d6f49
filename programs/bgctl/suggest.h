/*
 * "Did you mean" for a misspelt command or method name.
 */
#ifndef BGCTL_SUGGEST_H
#define BGCTL_SUGGEST_H

#include <string>
#include <vector>

namespace bgctl {

// The candidate nearest to `word` by edit distance (insertions, deletions,
// substitutions and swaps of neighbours; case ignored), when it is near
// enough to be a slip of the keyboard: at most a third of its length apart,
// and at least 1. Empty when none is, or when `word` is itself a candidate.
std::string nearest(const std::string& word, const std::vector<std::string>& candidates);

// " (did you mean 'NAME'?)" for the nearest candidate, or empty.
std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace bgctl

#endif  // BGCTL_SUGGEST_H
