#include "suggest.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace bgctl {

namespace {

// The optimal string alignment distance of a and b, case ignored. Both are
// command-line words, so the quadratic table stays small; a word longer than
// any candidate by more than the threshold is not compared at all.
size_t distance(const std::string& a, const std::string& b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = 0;
    for (const std::string& candidate : candidates) {
        if (candidate == word) {
            return "";
        }
        const size_t threshold = std::max<size_t>(1, candidate.size() / 3);
        const size_t gap = word.size() > candidate.size() ? word.size() - candidate.size() : candidate.size() - word.size();
        if (gap > threshold) {
            continue;
        }
        const size_t apart = distance(word, candidate);
        if (apart <= threshold && (best.empty() || apart < bestDistance)) {
            best = candidate;
            bestDistance = apart;
        }
    }
    return best;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates) {
    const std::string found = nearest(word, candidates);
    return found.empty() ? "" : " (did you mean '" + found + "'?)";
}

}  // namespace bgctl
