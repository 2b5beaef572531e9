#pragma once
// The configuration: an INI file's text parsed into memory, changed only in memory, never saved.
// The file's bytes come from the platform layer; this unit only decodes and parses them.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace IniFiles {

class TMemIniFile {
public:
    /// The configuration held in `sBytes`, the content of the file `sFileName` as the platform
    /// read it (Files::ReadWholeFile with kMaxFileSize): no bytes, as of a missing file, give an
    /// empty configuration.
    TMemIniFile(const std::u16string& sFileName, const std::string& sBytes);
    /// An empty configuration.
    TMemIniFile() = default;

    /// A UTF-8 or UTF-16 byte-order mark selects that encoding; without one the bytes are read as
    /// UTF-8 when they are valid UTF-8, otherwise as Windows-1252.
    static std::u16string DecodeFile(const std::string& bytes);
    /// Replaces the content by the lines of `sText`.
    void SetText(const std::u16string& sText);

    const std::u16string& FileName() const { return fsFileName; }

    /// The key's value, or `sDefault` when the section or the key is absent. Sections and keys
    /// match without regard to case; the first of several equal keys counts.
    std::u16string ReadString(const std::u16string& sSection, const std::u16string& sKey,
                              const std::u16string& sDefault) const;
    /// The value by the common integer syntax, `iDefault` when absent or not an integer.
    int32_t ReadInteger(const std::u16string& sSection, const std::u16string& sKey,
                        int32_t iDefault) const;
    /// Replaces the value in memory, or adds the key (and the section) when absent.
    void WriteString(const std::u16string& sSection, const std::u16string& sKey,
                     const std::u16string& sValue);
    void WriteInteger(const std::u16string& sSection, const std::u16string& sKey, int32_t iValue);
    bool ValueExists(const std::u16string& sSection, const std::u16string& sKey) const;
    /// The section names in file order, as written.
    std::vector<std::u16string> ReadSections() const;
    /// The key names of a section in file order, as written (lines without "=" left out).
    std::vector<std::u16string> ReadSectionKeys(const std::u16string& sSection) const;

    static constexpr int64_t kMaxFileSize = int64_t{16} * 1024 * 1024;

private:
    struct Line {
        std::u16string key; ///< empty with hasKey false for a line without "="
        std::u16string value;
        bool hasKey = false;
    };
    struct Section {
        std::u16string name;
        std::vector<Line> lines;
    };

    Section* FindSection(const std::u16string& sSection);
    const Section* FindSection(const std::u16string& sSection) const;
    static const Line* FindKey(const Section& s, const std::u16string& sKey);

    Section& AddSection(const std::u16string& sSection);

    std::u16string fsFileName;
    std::vector<Section> fSections;
    // Section by its case-folded name, so that a file with very many sections loads in time
    // linear in its size.
    std::unordered_map<std::u16string, size_t> fSectionIndex;
};

} // namespace IniFiles
