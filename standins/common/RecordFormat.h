#pragma once
// The record file of a stand-in program: one UTF-8 line per event, fields
// separated by tabs, each field "key=value". In values the characters '%',
// tab, CR and LF are written as "%25", "%09", "%0D" and "%0A"; nothing else is
// escaped, so paths stay readable.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace standin {

using RecordFields = std::vector<std::pair<std::string, std::string>>;

struct Record {
    std::map<std::string, std::string> fields;
    // The field's value, or the empty string when the line lacks it.
    std::string Get(const std::string& key) const;
    bool Has(const std::string& key) const { return fields.count(key) != 0; }
};

std::string EscapeValue(const std::string& value);
std::string UnescapeValue(const std::string& value);
// One line, ending in CR LF, with the fields in the order given.
std::string FormatRecordLine(const RecordFields& fields);
// Every non-empty line of a record file; a line cut short by a crash still
// gives the fields it holds.
std::vector<Record> ParseRecords(const std::string& bytes);

}  // namespace standin
