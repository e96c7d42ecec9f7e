// Word errors of a hypothesis against a reference: the word-level edit
// distance (substitutions, insertions and deletions), shared by the benches
// that report a word error rate.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

inline size_t wordErrors(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    std::vector<size_t> row(hyp.size() + 1);
    for (size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= ref.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= hyp.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[hyp.size()];
}
