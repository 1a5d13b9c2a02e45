// complete.cpp: Tab after "#include " or "#require " in the line editors of both
// platforms: the file name typed so far, completed as far as the names in its folder agree.
#include "load.h"

#include <algorithm>

namespace {

std::string CommonPrefix(const std::vector<std::string>& names) {
    std::string s = names.front();
    for (const std::string& strName : names) {
        size_t n = 0;
        while (n < s.size() && n < strName.size() && s[n] == strName[n])
            ++n;
        s.resize(n);
    }
    return s;
}

} // namespace

bool CompleteIncludeName(const std::string& strBefore, std::string* pstrInsert,
                         std::vector<std::string>* pCandidates) {
    static const size_t nWord = sizeof "#include " - 1;
    if (strBefore.compare(0, nWord, "#include ") != 0 &&
        strBefore.compare(0, nWord, "#require ") != 0)
        return false;
    const size_t nStart = strBefore.find_first_not_of(' ', nWord);
    const std::string strTyped = nStart == std::string::npos ? "" : strBefore.substr(nStart);
    if (strTyped.find(' ') != std::string::npos) return false;
    size_t nDir = strTyped.size();
    while (nDir > 0 && !IsPathSeparator(strTyped[nDir - 1]))
        --nDir;
    const std::string strDir = strTyped.substr(0, nDir);
    const std::string strPart = strTyped.substr(nDir);
    std::vector<std::string> names;
    for (const std::string& strName : ListFolder(strDir)) {
        if (strName.compare(0, strPart.size(), strPart) != 0) continue;
        if (strName[0] == '.' && strPart.empty()) continue; // hidden, unless asked for
        names.push_back(strName);
    }
    if (names.empty()) return false;
    std::sort(names.begin(), names.end());
    const std::string strCommon = CommonPrefix(names);
    pstrInsert->clear();
    pCandidates->clear();
    if (strCommon.size() > strPart.size()) {
        *pstrInsert = strCommon.substr(strPart.size());
        // One file: the name is whole. A folder goes on with its own names.
        if (names.size() == 1 && !IsPathSeparator(strCommon.back())) *pstrInsert += ' ';
    } else {
        *pCandidates = names;
    }
    return true;
}
