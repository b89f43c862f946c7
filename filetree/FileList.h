#pragma once
// An ordered list of wide path strings, as the tree operations produce it.
//
// Why an entry may carry a second path: the listing lowercases every text it
// lists (the exclusion filter compares lowercased texts), but under Wine a
// lowercased path is found by a case-blind search of each folder on its way,
// which cost about 16 times as much per open as the path as stored. So an
// entry can keep its spelling, the same path as the file system stores it,
// and file calls use that. A spelling is kept only while it names the same
// letters as its text; texts change only through the list, which drops a
// spelling that a rewrite has made stale.

#include <windows.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/Text.h"

class FileList {
    struct Entry {
        std::wstring text;
        std::wstring spelling;  // empty when unknown or stale
        DWORD attributes;       // as listed; INVALID_FILE_ATTRIBUTES when unknown
    };

public:
    // Walks the texts in order, read-only.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::wstring;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::wstring*;
        using reference = const std::wstring&;

        Iterator() = default;
        reference operator*() const { return at_->text; }
        pointer operator->() const { return &at_->text; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }
        bool operator!=(const Iterator& other) const { return at_ != other.at_; }

    private:
        friend class FileList;
        explicit Iterator(std::vector<Entry>::const_iterator at) : at_(at) {}
        std::vector<Entry>::const_iterator at_;
    };

    void Append(std::wstring text) { Append(std::move(text), std::wstring()); }
    // spelling: the same path as stored on disk; empty when it is the text.
    // One that does not name the same letters is not kept. attributes: the
    // file's as its listing found them.
    void Append(std::wstring text, std::wstring spelling, DWORD attributes = INVALID_FILE_ATTRIBUTES) {
        entries_.push_back({std::move(text), std::move(spelling), attributes});
        DropStaleSpelling(entries_.back());
    }

    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    const std::wstring& First() const { return entries_.front().text; }
    const std::wstring& At(size_t index) const { return entries_[index].text; }
    // The entry as file calls should name it: as the file system spells it,
    // or its text when that is unknown.
    const std::wstring& Spelling(size_t index) const {
        const Entry& entry = entries_[index];
        return entry.spelling.empty() ? entry.text : entry.spelling;
    }
    // The file's attributes as its listing found them; INVALID_FILE_ATTRIBUTES
    // when the entry was not listed.
    DWORD Attributes(size_t index) const { return entries_[index].attributes; }
    Iterator begin() const { return Iterator(entries_.begin()); }
    Iterator end() const { return Iterator(entries_.end()); }

    // Removes every entry equal (case-sensitively) to text; text is copied
    // first, so it may be one of the removed entries.
    void RemoveAll(std::wstring text) {
        KeepIf([&text](const std::wstring& entry) { return entry != text; });
    }
    // Calls keep(text) once per entry, in order; keep may rewrite the text
    // and returns false to drop the entry. The rest keep their order.
    template <typename Keep>
    void KeepIf(Keep keep) {
        size_t kept = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (!keep(entries_[i].text)) continue;
            DropStaleSpelling(entries_[i]);
            if (kept != i) entries_[kept] = std::move(entries_[i]);
            ++kept;
        }
        entries_.resize(kept);
    }
    // Drops the first count units of an entry's text and of its spelling.
    void CutFront(size_t index, size_t count) {
        Entry& entry = entries_[index];
        entry.text.erase(0, count);
        if (!entry.spelling.empty()) entry.spelling.erase(0, count);
    }

private:
    static void DropStaleSpelling(Entry& entry) {
        if (!entry.spelling.empty() && !SameLetters(entry.spelling, entry.text)) entry.spelling.clear();
    }
    static bool SameLetters(const std::wstring& a, const std::wstring& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
        }
        return true;
    }

    std::vector<Entry> entries_;
};
