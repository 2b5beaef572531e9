// Loading a configuration with very many sections: the time should grow with the file's size.

#include "common/IniFiles.h"

#include <chrono>
#include <cstdio>
#include <string>

int main() {
    for (int sections : {40000, 200000}) {
        std::u16string text;
        for (int i = 0; i < sections; ++i) {
            std::string s = "[S" + std::to_string(i) + "]\nKey=" + std::to_string(i) + "\n";
            text.append(s.begin(), s.end());
        }
        auto t0 = std::chrono::steady_clock::now();
        IniFiles::TMemIniFile ini;
        ini.SetText(text);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
        std::string name = "S" + std::to_string(sections - 1);
        std::u16string last(name.begin(), name.end());
        std::printf("%d sections loaded in %.1f ms (last key %d)\n", sections, ms,
                    ini.ReadInteger(last, u"Key", -1));
    }
    return 0;
}
