#include "standins/common/RecordFormat.h"

namespace standin {

std::string Record::Get(const std::string& key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

std::string EscapeValue(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '%': escaped += "%25"; break;
            case '\t': escaped += "%09"; break;
            case '\r': escaped += "%0D"; break;
            case '\n': escaped += "%0A"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void AddField(Record& record, const std::string& field) {
    if (field.empty()) return;
    const size_t equals = field.find('=');
    if (equals == std::string::npos) {
        record.fields[field] = std::string();
    } else {
        record.fields[field.substr(0, equals)] = UnescapeValue(field.substr(equals + 1));
    }
}

Record ParseLine(const std::string& line) {
    Record record;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        AddField(record, line.substr(start, tab - start));
        start = tab + 1;
    }
    AddField(record, line.substr(start));
    return record;
}

}  // namespace

std::string UnescapeValue(const std::string& value) {
    std::string plain;
    plain.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0 && HexDigit(value[i + 2]) >= 0) {
            plain += static_cast<char>(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
            i += 2;
        } else {
            plain += value[i];
        }
    }
    return plain;
}

std::string FormatRecordLine(const RecordFields& fields) {
    std::string line;
    for (const auto& [key, value] : fields) {
        if (!line.empty()) line += '\t';
        line += key;
        line += '=';
        line += EscapeValue(value);
    }
    line += "\r\n";
    return line;
}

std::vector<Record> ParseRecords(const std::string& bytes) {
    std::vector<Record> records;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) records.push_back(ParseLine(line));
        start = end + 1;
    }
    return records;
}

}  // namespace standin
