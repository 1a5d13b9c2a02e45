// plan.cpp: an upload's plan. Every file is read, and run through the shared reader once,
// before the first byte goes out; a line "#include FILE" or "#require FILE" that the reader
// would send is replaced by FILE's own lines, found beside the including file or else in
// the working directory. A missing file or a cycle stops the run with nothing sent.
#include "load.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxDepth = 64; // includes one inside the other

struct Planner {
    Plan* pPlan;
    const SentFiles* pSent;
    SentFiles required;             // #require'd in this plan already
    std::vector<std::string> stack; // the ids of the files being read, outermost first
};

void SayAtPlace(const Plan& plan, int nFile, uint32_t nLine, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void SayAtPlace(const Plan& plan, int nFile, uint32_t nLine, const char* fmt, ...) {
    char sz[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof sz, fmt, ap);
    va_end(ap);
    SayRaw("%s%s\n", PlaceOf(plan, nFile, nLine).c_str(), sz);
    SayChain(plan, nFile);
}

std::string DirOf(const std::string& strPath) {
    size_t n = strPath.size();
    while (n > 0 && !IsPathSeparator(strPath[n - 1]))
        --n;
    return strPath.substr(0, n);
}

// Beside the including file first, then in the working directory.
std::string FindIncluded(const Plan& plan, int nParent, const std::string& strName) {
    if (IsAbsolutePath(strName) || nParent < 0) return strName;
    const std::string strBeside = DirOf(plan.files[static_cast<size_t>(nParent)].path) + strName;
    if (!FileIdentity(strBeside).empty()) return strBeside;
    return strName;
}

bool AddFile(Planner* pr, const std::string& strName, int nParent, uint32_t nParentLine);

// The reader's lines of one file into steps; an include line into the file it names.
bool ReadIntoPlan(Planner* pr, int nFile, SourceText* pText) {
    Plan& plan = *pr->pPlan;
    StartSourceFile();
    gwSourceLine = 1;
    for (;;) {
        pText->fCut = false;
        const int nResult = ReadSourceLine(pText);
        if (nResult == SRC_END || nResult == SRC_ERROR) break;
        if (nResult == SRC_PAUSE)
            plan.steps.push_back({StepKind::Pause, nFile, gwSourceLine, "", false});
        if (nResult != SRC_LINE) continue;
        const uint32_t nLine = gwSourceLine++;
        bool fRequire = false;
        const std::string strInclude = IncludedName(gsTXBuf, gwTXCol, &fRequire);
        if (strInclude.empty()) {
            plan.steps.push_back({StepKind::Send, nFile, nLine,
                                  std::string(reinterpret_cast<char*>(gsTXBuf), gwTXCol),
                                  pText->fCut});
            ++plan.nToSend;
            continue;
        }
        const std::string strPath = FindIncluded(plan, nFile, strInclude);
        const std::string strId = FileIdentity(strPath);
        if (fRequire && !strId.empty() && (pr->pSent->count(strId) || pr->required.count(strId)))
            continue;
        const uint32_t nSaved = gwSourceLine;
        const bool fAfterCR = pText->at > 0 && pText->bytes[pText->at - 1] == ASCII_CR;
        if (!AddFile(pr, strInclude, nFile, nLine)) return false;
        // Back in this file: the reader goes on where it was, a CR LF still one line end.
        StartSourceFile(fAfterCR);
        gwSourceLine = nSaved;
    }
    plan.files[static_cast<size_t>(nFile)].nLines = gwSourceLine - 1;
    return true;
}

bool AddFile(Planner* pr, const std::string& strName, int nParent, uint32_t nParentLine) {
    Plan& plan = *pr->pPlan;
    PlanFile file;
    file.name = strName;
    file.path = FindIncluded(plan, nParent, strName);
    file.id = strName == "-" ? "-" : FileIdentity(file.path);
    file.nParent = nParent;
    file.nParentLine = nParentLine;
    SourceText text;
    text.name = strName == "-" ? "<stdin>" : strName;
    std::string strWhy;
    if (!ReadWholeFile(file.path, &text.bytes, &strWhy)) {
        if (nParent < 0)
            Say("%s: %s", strName.c_str(), strWhy.c_str());
        else
            SayAtPlace(plan, nParent, nParentLine, "cannot include %s: %s", strName.c_str(),
                       strWhy.c_str());
        return false;
    }
    for (const std::string& strOpen : pr->stack) {
        if (strOpen == file.id) {
            SayAtPlace(plan, nParent, nParentLine,
                       "cannot include %s: it includes this file (a cycle)", strName.c_str());
            return false;
        }
    }
    if (pr->stack.size() >= kMaxDepth) {
        SayAtPlace(plan, nParent, nParentLine, "includes nest deeper than %u",
                   static_cast<unsigned>(kMaxDepth));
        return false;
    }
    // An included file is named where it was found, so that an editor can go to its line.
    file.name = nParent < 0 ? text.name : file.path;
    const int nFile = static_cast<int>(plan.files.size());
    plan.files.push_back(file);
    pr->required.insert(file.id);
    pr->stack.push_back(file.id);
    plan.steps.push_back({StepKind::Begin, nFile, 0, "", false});
    if (!ReadIntoPlan(pr, nFile, &text)) return false;
    plan.steps.push_back(
        {StepKind::End, nFile, plan.files[static_cast<size_t>(nFile)].nLines, "", false});
    pr->stack.pop_back();
    return true;
}

} // namespace

std::string IncludedName(const uint8_t* pb, size_t n, bool* pfRequire) {
    std::string s(reinterpret_cast<const char*>(pb), n);
    while (!s.empty() && (s.back() == ASCII_CR || s.back() == ' '))
        s.pop_back();
    static const char kInclude[] = "#include ";
    static const char kRequire[] = "#require ";
    const size_t nWord = sizeof kInclude - 1;
    *pfRequire = s.compare(0, nWord, kRequire) == 0;
    if (!*pfRequire && s.compare(0, nWord, kInclude) != 0) return "";
    size_t at = nWord;
    while (at < s.size() && s[at] == ' ')
        ++at;
    std::string strName = s.substr(at);
    // A name with blanks may stand in quotes.
    if (strName.size() >= 2 && strName.front() == '"' && strName.back() == '"')
        strName = strName.substr(1, strName.size() - 2);
    return strName;
}

std::string PlaceOf(const Plan& plan, int nFile, uint32_t nLine) {
    return plan.files[static_cast<size_t>(nFile)].name + ":" + std::to_string(nLine) + ": ";
}

void SayChain(const Plan& plan, int nFile) {
    for (int n = nFile; n >= 0 && plan.files[static_cast<size_t>(n)].nParent >= 0;) {
        const PlanFile& file = plan.files[static_cast<size_t>(n)];
        n = file.nParent;
        SayRaw("  included from %s:%u\n", plan.files[static_cast<size_t>(n)].name.c_str(),
               file.nParentLine);
    }
}

bool MakePlan(const std::vector<std::string>& names, const SentFiles& sent, Plan* pPlan) {
    Planner pr{pPlan, &sent, {}, {}};
    for (const std::string& strName : names)
        if (!AddFile(&pr, strName, -1, 0)) return false;
    return true;
}
