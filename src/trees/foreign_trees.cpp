#include "trees/foreign_trees.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "trees/readtree.h"
#include "trees/treeutil.h"

namespace {

constexpr const char *kWordEnd = "(),:;[] \t\r\n=";

void skipComment(const std::string &s, size_t &i)
{
    const size_t end = s.find(']', i);
    i = end == std::string::npos ? s.size() : end + 1;
}

// A word at s[i]: quoted (doubled quotes undone) or up to a delimiter.
std::string readWord(const std::string &s, size_t &i, bool &quoted)
{
    std::string w;
    quoted = s[i] == '\'';
    if (quoted) {
        for (++i; i < s.size(); ++i) {
            if (s[i] == '\'') {
                if (i + 1 < s.size() && s[i + 1] == '\'') {
                    w += '\'';
                    ++i;
                    continue;
                }
                ++i;
                break;
            }
            w += s[i];
        }
        return w;
    }
    while (i < s.size() && std::strchr(kWordEnd, s[i]) == nullptr)
        w += s[i++];
    return w;
}

bool sameWord(const std::string &a, const char *b)
{
    return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// The next word or punctuation character, comments skipped; empty at the end.
std::string nextToken(const std::string &s, size_t &i, bool &quoted)
{
    quoted = false;
    while (i < s.size()) {
        if (s[i] == '[')
            skipComment(s, i);
        else if (std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        else
            break;
    }
    if (i >= s.size())
        return {};
    if (std::strchr("(),:;=", s[i]) != nullptr)
        return std::string(1, s[i++]);
    return readWord(s, i, quoted);
}

// The tree descriptions of a NEXUS file, tip words translated through its
// Translate table (a word absent from the table stays as it is).
int nexusDescriptions(const std::string &text, const char *program, std::vector<std::string> &descriptions,
                      std::map<std::string, std::pair<std::string, bool>> &translate)
{
    size_t i = 0;
    bool quoted = false;
    for (std::string t = nextToken(text, i, quoted); !t.empty(); t = nextToken(text, i, quoted)) {
        if (sameWord(t, "translate") && !quoted) {
            for (;;) {
                const std::string key = nextToken(text, i, quoted);
                bool labelQuoted = false;
                const std::string label = nextToken(text, i, labelQuoted);
                if (key.empty() || label.empty())
                    return qel_errorMsg(0, "The Translate table of the tree file from %s is incomplete.", program);
                translate[key] = {label, labelQuoted};
                const std::string sep = nextToken(text, i, quoted);
                if (sep == ";")
                    break;
                if (sep != ",")
                    return qel_errorMsg(0, "The Translate table of the tree file from %s is invalid.", program);
            }
        } else if ((sameWord(t, "tree") || sameWord(t, "utree")) && !quoted) {
            const size_t eq = text.find('=', i);
            const size_t end = eq == std::string::npos ? eq : text.find(';', eq);
            if (end == std::string::npos)
                return qel_errorMsg(0, "A tree statement of the tree file from %s is incomplete.", program);
            descriptions.push_back(text.substr(eq + 1, end - eq));
            i = end + 1;
        }
    }
    return 0;
}

}  // namespace

int relabelForeignNewick(const std::string &description, const char *program, const ForeignTaxonFxn &taxonOf,
                         std::string &out)
{
    const DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    out.clear();
    char prev = 0;
    for (size_t i = 0; i < description.size();) {
        const char c = description[i];
        if (c == '[') {
            skipComment(description, i);
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '(' || c == ')' || c == ',' || c == ';') {
            out += c;
            prev = c;
            ++i;
            if (c == ';')
                return 0;
        } else if (c == ':') {
            out += c;
            for (++i; i < description.size() && std::strchr("0123456789.eE+-", description[i]) != nullptr; ++i)
                out += description[i];
        } else {
            bool quoted = false;
            const std::string word = readWord(description, i, quoted);
            // Words after a closing parenthesis label internal nodes.
            if (prev == ')')
                continue;
            const int32_t t = taxonOf(word, quoted);
            if (t < 0 || t >= d->nActive)
                return qel_errorMsg(0, "The tree from %s names \"%s\", which is not a taxon of the data.", program,
                                    word.c_str());
            const char *label = getTaxLabel(d, static_cast<uint32_t>(t));
            std::vector<char> buf(2 * std::strlen(label) + 8);
            out += nexusizeString(label, buf.data(), buf.size());
            prev = 'w';
        }
    }
    return qel_errorMsg(0, "A tree description from %s does not end with \";\".", program);
}

int readForeignTrees(const std::string &path, const char *program, const ForeignTaxonFxn &taxonOf,
                     const ForeignTreeStoreFxn &store, uint32_t *treesRead)
{
    *treesRead = 0;
    std::ifstream in(path);
    if (!in)
        return qel_errorMsg(0, "The tree file \"%s\" from %s could not be read.", path.c_str(), program);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();

    std::vector<std::string> descriptions;
    std::map<std::string, std::pair<std::string, bool>> translate;
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && strncasecmp(text.c_str() + first, "#nexus", 6) == 0) {
        if (nexusDescriptions(text, program, descriptions, translate) != 0)
            return 1;
    } else {
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find(';', start);
            if (end == std::string::npos) {
                if (text.find('(', start) != std::string::npos)
                    return qel_errorMsg(0, "A tree description from %s does not end with \";\".", program);
                break;
            }
            descriptions.push_back(text.substr(start, end - start + 1));
            start = end + 1;
        }
    }
    const ForeignTaxonFxn translated = [&](const std::string &word, bool quoted) {
        if (const auto it = translate.find(word); !quoted && it != translate.end())
            return taxonOf(it->second.first, it->second.second);
        return taxonOf(word, quoted);
    };

    DataInfo *d = activeDataInfo();
    TreeReader *reader = d ? createTreeReader(d, true, false) : nullptr;
    TreeHandle tree(createTree(false));
    if (reader == nullptr || !tree) {
        destroyTreeReader(reader);
        return 1;
    }
    int status = 0;
    std::string newick;
    for (const std::string &desc : descriptions) {
        if ((status = relabelForeignNewick(desc, program, translated, newick)) != 0)
            break;
        InputStatus *caller = getActiveInput();
        InputStatus doc{};
        initDocumentInput(&doc, newick.data(), newick.size());
        status = readNewickTree(reader, tree.get(), false);
        setActiveInput(caller);
        if (status != 0 || (status = store(tree.get())) != 0)
            break;
        ++*treesRead;
    }
    destroyTreeReader(reader);
    return status;
}
