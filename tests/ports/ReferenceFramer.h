#pragma once
// The telegram extraction rules applied literally to the whole cache after every chunk: slow but
// plain, so the port base's fast extraction can be checked against it (tests and fuzzing).

#include <string>
#include <vector>

struct ReferenceFramer {
    std::u16string start, end, cache;
    size_t maxCache;
    std::vector<std::u16string> telegrams;
    int overflows = 0;

    void Receive(const std::u16string& chunk) {
        cache += chunk;
        for (size_t e; (e = cache.find(end)) != std::u16string::npos;) {
            size_t s = cache.find(start);
            size_t through = e + end.size();
            if (s != std::u16string::npos && s <= e) {
                std::u16string t = cache.substr(s, through - s);
                for (size_t p; (p = t.find(start, start.size())) != std::u16string::npos;)
                    t.erase(0, p);
                long count =
                    static_cast<long>(t.size() - start.size()) - static_cast<long>(end.size());
                telegrams.push_back(count > 0 ? t.substr(start.size(), size_t(count)) : u"");
            }
            cache.erase(0, through);
        }
        if (cache.size() > maxCache) {
            cache.clear();
            ++overflows;
        }
    }
};
