// Loading a configuration with very many sections: the time should grow with the file's size.

#include "common/IniFiles.h"

#include <chrono>
#include <cstdio>
#include <string>

int main() {
    for (int sections : {40000, 200000}) {
        std::u16string text;
        for (int i = 0; i < sections; ++i) {
            // Appended piece by piece: GCC 12 at -O3 wrongly reports overlapping copies
            // (-Wrestrict) for a literal put in front of a temporary string.
            std::string number = std::to_string(i);
            std::string s = std::string("[S").append(number).append("]\nKey=").append(number);
            s += '\n';
            text.append(s.begin(), s.end());
        }
        auto t0 = std::chrono::steady_clock::now();
        IniFiles::TMemIniFile ini;
        ini.SetText(text);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
        std::string name = std::string("S").append(std::to_string(sections - 1));
        std::u16string last(name.begin(), name.end());
        std::printf("%d sections loaded in %.1f ms (last key %d)\n", sections, ms,
                    ini.ReadInteger(last, u"Key", -1));
    }
    return 0;
}
