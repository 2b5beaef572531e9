#include "common/IniFiles.h"

#include "common/SysUtils.h"

namespace IniFiles {

namespace {

// Case is ignored for ASCII and Latin-1 letters, which covers every key and section the program
// reads.
char16_t Fold(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 32);
    return c;
}

std::u16string Folded(const std::u16string& s) {
    std::u16string f(s);
    for (char16_t& c : f)
        c = Fold(c);
    return f;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

} // namespace

TMemIniFile::TMemIniFile(const std::u16string& sFileName, const std::string& sBytes)
    : fsFileName(sFileName) {
    SetText(DecodeFile(sBytes));
}

std::u16string TMemIniFile::DecodeFile(const std::string& bytes) {
    auto starts = [&](const char* bom, size_t n) { return bytes.compare(0, n, bom, n) == 0; };
    if (starts("\xEF\xBB\xBF", 3))
        return SysUtils::FromUtf8(bytes.substr(3));
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
        bool little = bytes[0] == '\xFF';
        std::u16string text;
        text.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            auto lo = static_cast<unsigned char>(bytes[i + (little ? 0 : 1)]);
            auto hi = static_cast<unsigned char>(bytes[i + (little ? 1 : 0)]);
            text += static_cast<char16_t>(lo | (hi << 8));
        }
        return text;
    }
    std::u16string text;
    if (SysUtils::TryFromUtf8(bytes, text))
        return text;
    return SysUtils::FromWindows1252(bytes);
}

void TMemIniFile::SetText(const std::u16string& sText) {
    fSections.clear();
    fSectionIndex.clear();
    Section* current = nullptr;
    size_t pos = 0;
    while (pos < sText.size()) {
        size_t end = sText.find_first_of(u"\r\n", pos);
        if (end == std::u16string::npos)
            end = sText.size();
        std::u16string line = SysUtils::Trim(sText.substr(pos, end - pos));
        pos = end + 1;
        if (end + 1 < sText.size() && sText[end] == u'\r' && sText[end + 1] == u'\n')
            ++pos;
        if (line.empty() || line[0] == u';')
            continue;
        if (line.front() == u'[' && line.back() == u']' && line.size() >= 2) {
            std::u16string name = SysUtils::Trim(line.substr(1, line.size() - 2));
            current = FindSection(name);
            if (current == nullptr)
                current = &AddSection(name);
            continue;
        }
        if (current == nullptr)
            continue;
        size_t eq = line.find(u'=');
        if (eq == std::u16string::npos)
            current->lines.push_back(Line{{}, line, false});
        else
            current->lines.push_back(Line{SysUtils::Trim(line.substr(0, eq)),
                                          SysUtils::Trim(line.substr(eq + 1)), true});
    }
}

std::vector<std::u16string> TMemIniFile::ReadSections() const {
    std::vector<std::u16string> names;
    for (const Section& s : fSections)
        names.push_back(s.name);
    return names;
}

std::vector<std::u16string> TMemIniFile::ReadSectionKeys(const std::u16string& sSection) const {
    std::vector<std::u16string> keys;
    if (const Section* s = FindSection(sSection))
        for (const Line& l : s->lines)
            if (l.hasKey)
                keys.push_back(l.key);
    return keys;
}

TMemIniFile::Section* TMemIniFile::FindSection(const std::u16string& sSection) {
    auto it = fSectionIndex.find(Folded(sSection));
    return it == fSectionIndex.end() ? nullptr : &fSections[it->second];
}

TMemIniFile::Section& TMemIniFile::AddSection(const std::u16string& sSection) {
    fSectionIndex.emplace(Folded(sSection), fSections.size());
    fSections.push_back(Section{sSection, {}});
    return fSections.back();
}

const TMemIniFile::Section* TMemIniFile::FindSection(const std::u16string& sSection) const {
    return const_cast<TMemIniFile*>(this)->FindSection(sSection);
}

const TMemIniFile::Line* TMemIniFile::FindKey(const Section& s, const std::u16string& sKey) {
    for (const auto& line : s.lines)
        if (line.hasKey && SameName(line.key, sKey))
            return &line;
    return nullptr;
}

std::u16string TMemIniFile::ReadString(const std::u16string& sSection, const std::u16string& sKey,
                                       const std::u16string& sDefault) const {
    const Section* s = FindSection(sSection);
    const Line* line = s ? FindKey(*s, sKey) : nullptr;
    return line ? line->value : sDefault;
}

int32_t TMemIniFile::ReadInteger(const std::u16string& sSection, const std::u16string& sKey,
                                 int32_t iDefault) const {
    return SysUtils::StrToIntDef(ReadString(sSection, sKey, u""), iDefault);
}

bool TMemIniFile::ValueExists(const std::u16string& sSection, const std::u16string& sKey) const {
    const Section* s = FindSection(sSection);
    return s != nullptr && FindKey(*s, sKey) != nullptr;
}

void TMemIniFile::WriteString(const std::u16string& sSection, const std::u16string& sKey,
                              const std::u16string& sValue) {
    Section* s = FindSection(sSection);
    if (s == nullptr)
        s = &AddSection(sSection);
    if (const Line* line = FindKey(*s, sKey)) {
        const_cast<Line*>(line)->value = sValue;
        return;
    }
    s->lines.push_back(Line{sKey, sValue, true});
}

void TMemIniFile::WriteInteger(const std::u16string& sSection, const std::u16string& sKey,
                               int32_t iValue) {
    WriteString(sSection, sKey, SysUtils::IntToStr(iValue));
}

} // namespace IniFiles
