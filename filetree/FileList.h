#pragma once
// An ordered list of wide path strings, as the tree operations produce it.
// Next to each entry's text the list can keep the path as the file system
// spells it (the listing lowercases its texts); file operations use that
// spelling, which names the same file and is found without a case-blind search.

#include <string>
#include <utility>
#include <vector>

class FileList {
public:
    using Entries = std::vector<std::wstring>;

    void Append(std::wstring path) { Append(std::move(path), std::wstring()); }
    // spelling: the same path as stored on disk; empty when it is the text.
    void Append(std::wstring path, std::wstring spelling) {
        entries_.push_back(std::move(path));
        spellings_.push_back(std::move(spelling));
    }
    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    const std::wstring& First() const { return entries_.front(); }
    const std::wstring& At(size_t index) const { return entries_[index]; }
    // The entry as the file system spells it (its text when unknown).
    // A spelling that no longer matches a rewritten text is not used.
    const std::wstring& Spelling(size_t index) const {
        return SameLetters(spellings_[index], entries_[index]) ? spellings_[index] : entries_[index];
    }

    // Removes every entry equal (case-sensitively) to text; text is copied
    // first, so it may be one of the removed entries.
    void RemoveAll(std::wstring text) {
        KeepIf([&text](std::wstring& entry) { return entry != text; });
    }
    // Calls keep(text) once per entry, in order; keep may rewrite the text
    // and returns false to drop the entry. The rest keep their order.
    template <typename Keep>
    void KeepIf(Keep keep) {
        size_t kept = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (!keep(entries_[i])) continue;
            if (kept != i) {
                entries_[kept] = std::move(entries_[i]);
                spellings_[kept] = std::move(spellings_[i]);
            }
            ++kept;
        }
        entries_.resize(kept);
        spellings_.resize(kept);
    }
    // Drops the first count units of every entry and of its spelling.
    void CutFront(size_t index, size_t count) {
        entries_[index].erase(0, count);
        if (!spellings_[index].empty()) spellings_[index].erase(0, count);
    }

    Entries::iterator begin() { return entries_.begin(); }
    Entries::iterator end() { return entries_.end(); }
    Entries::const_iterator begin() const { return entries_.begin(); }
    Entries::const_iterator end() const { return entries_.end(); }

private:
    static bool SameLetters(const std::wstring& a, const std::wstring& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (Lower(a[i]) != Lower(b[i])) return false;
        }
        return true;
    }
    static wchar_t Lower(wchar_t unit) {
        return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + (L'a' - L'A')) : unit;
    }

    Entries entries_;
    Entries spellings_;  // parallel to entries_
};
