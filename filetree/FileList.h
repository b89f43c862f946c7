#pragma once
// An ordered list of wide path strings, as the tree operations produce it.

#include <list>
#include <string>

class FileList {
public:
    using Entries = std::list<std::wstring>;

    void Append(std::wstring path) { entries_.push_back(std::move(path)); }
    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    const std::wstring& First() const { return entries_.front(); }
    // Removes every entry equal (case-sensitively) to text; text is copied
    // first, so it may be one of the removed entries.
    void RemoveAll(std::wstring text) { entries_.remove(text); }

    Entries::iterator begin() { return entries_.begin(); }
    Entries::iterator end() { return entries_.end(); }
    Entries::const_iterator begin() const { return entries_.begin(); }
    Entries::const_iterator end() const { return entries_.end(); }
    Entries& entries() { return entries_; }

private:
    Entries entries_;
};
