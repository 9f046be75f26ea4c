// ToNEXUS over small foreign files: the exact NEXUS text each importer
// writes, the refusals with their codes, and what is left on disk.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/taxlabels.h"
#include "data/vorn_data.h"
#include "qel/qel_io.h"
#include "qel/qel_textbuffer.h"
#include "support/format_support.h"
#include "reader_test_support.h"

namespace {

std::vector<uint32_t> gCodes;
std::string gErrors;
std::string gWarnings;
std::string gOut;

uint32_t gErrorLine;  // the input line an error names, 0 when none

int captureError(uint32_t code, const char *format, ...)
{
    const char *file = nullptr;
    gErrorLine = 0;
    activeInputErrorPosition(&gErrorLine, &file);
    va_list args;
    va_start(args, format);
    gErrors += testfmt::vformat(format, args) + "\n";
    va_end(args);
    gCodes.push_back(code);
    return 1;
}

int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gWarnings += std::to_string(code) + " " + testfmt::vformat(format, args) + "\n";
    va_end(args);
    return 0;
}

int capturePrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}

namespace fs = std::filesystem;

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class ToNexusTest : public DataReaderTest {
  protected:
    ToNexusTest() : DataReaderTest(capturePrint, captureError, captureWarning) {}

    void SetUp() override
    {
        gCodes.clear();
        gErrors.clear();
        gWarnings.clear();
        gOut.clear();
        DataReaderTest::SetUp();
        char pattern[] = "/tmp/tonexus-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        fs::remove_all(dir_);
        DataReaderTest::TearDown();
    }

    // Runs ToNEXUS with `options` on a file holding `input`; returns the
    // command's status. The converted text, without its head, goes to body.
    // With `earlier`, the output file holds that text before the command,
    // which replaces it.
    int convert(const std::string &options, const std::string &input, std::string *body = nullptr,
                const char *earlier = nullptr)
    {
        const fs::path from = dir_ / ("in" + std::to_string(++n_));
        const fs::path to = dir_ / ("out" + std::to_string(n_) + ".nex");
        std::ofstream(from, std::ios::binary) << input;
        if (earlier)
            std::ofstream(to, std::ios::binary) << earlier;
        feed(options + (earlier ? " replace" : "") + " fromFile=" + from.string() + " toFile=" + to.string() + ";",
             true);
        const int status = importFile();
        std::string text = slurp(to);
        head_ = text.substr(0, std::min(text.size(), text.find("]\n") + 2));
        if (body)
            *body = text.substr(head_.size());
        return status;
    }

    fs::path dir_;
    std::string head_;
    int n_ = 0;
};

struct ImportCase {
    const char *what;
    const char *options;  // besides the two files
    const char *input;
    const char *body;     // the converted text after the head
    const char *warnings;
};

const ImportCase kConversions[] = {
    {"strict names: blanks kept inside, a name line of its own, O as gap, digits dropped, trees",
     "format=PHYLIP dataType=nucleotide interleaved=no",
     "3 8\nHomo sapieACGTACGT\nabc\nACO-AC10GT\nPan trogloACGT\nAC GT\n2\n((Homo_sapie,abc),Pan_troglo);\n"
     "[c] (Homo_sapie, (abc, Pan_troglo));  rest\n",
     "Begin data;\n    Dimensions ntax=3 nchar=8;\n"
     "    Format datatype=nucleotide gap=- missing=? matchchar=.;\n    Matrix\n"
     "Homo_sapie  ACGTACGT\nabc         AC--ACGT\nPan_troglo  ACGTACGT\n    ;\nEnd;\n"
     "\nBegin trees;\n    tree PHYLIP1 = ((Homo_sapie,abc),Pan_troglo);\n"
     "    tree PHYLIP2 = (Homo_sapie,(abc,Pan_troglo));\nEnd;\n",
     ""},
    {"standard data", "format=PHYLIP dataType=standard", "2 4\nt1        01PB\nt2        0p1b\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n"
     "    Format symbols=\"01\" missing=? equate=\"p=(01)\";\n    Matrix\nt1  01pp\nt2  0p1p\n    ;\nEnd;\n",
     ""},
    {"restriction sites", "format=RelPHYLIP dataType=restSite", "2 4\nt1 0101\nt2 ?+-.\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n"
     "    Format symbols=\"-+\" missing=? matchchar=.;\n    Matrix\nt1  -+-+\nt2  ?+-.\n    ;\nEnd;\n",
     ""},
    {"relaxed interleaved protein, quoted and long names", "format=RelPHYLIP dataType=protein interleaved",
     "2 7\n'a b' MKV\nlong.name.1 MKI\n\n  \nLLW*\nL-W?\n",
     "Begin data;\n    Dimensions ntax=2 nchar=7;\n"
     "    Format datatype=protein gap=- missing=? matchchar=. interleave;\n    Matrix\n"
     "a_b          MKV\nlong.name.1  MKI\n\na_b          LLW*\nlong.name.1  L-W?\n    ;\nEnd;\n",
     ""},
    {"an invalid symbol that is no letter is copied, with a warning", "format=RelPHYLIP dataType=nucleotide "
     "interleaved=no", "1 4\nt AC!T",
     "Begin data;\n    Dimensions ntax=1 nchar=4;\n"
     "    Format datatype=nucleotide gap=- missing=? matchchar=.;\n    Matrix\nt  AC!T\n    ;\nEnd;\n",
     "908 Invalid symbol(s) encountered in PHYLIP data matrix (first is '!').\n"},
    {"options on the first line", "format=RelPHYLIP", "1 2 I\nt AC\n",
     "Begin data;\n    Dimensions ntax=1 nchar=2;\n"
     "    Format datatype=nucleotide gap=- missing=? matchchar=.;\n    Matrix\nt  AC\n    ;\nEnd;\n",
     "904 VORN does not understand PHYLIP options on the first line. You may need to delete extra lines "
     "associated with these options before the file can be imported successfully.\tTwo integers are expected "
     "for character data, and one integer for distance data.  Any additional tokens will be ignored.\n"},
    {"lower-triangle distances", "format=PHYLIP dataType=distance dmatrix=lower",
     "3\nalpha\nbeta      1.5\ngamma     2 3.25\n",
     "Begin distances;\n    Dimensions newtaxa=y ntax=3;\n    Format triangle=lower diagonal=no;\n    Matrix\n"
     "alpha  \nbeta     1.50\ngamma    2.00  3.25\n    ;\nEnd;\n",
     ""},
    {"lower-triangle distances with the diagonal", "format=RelPHYLIP dataType=distance dmatrix=diaglower",
     "3\na 9\nb 10.5 9\nc 2 3 9\n",
     "Begin distances;\n    Dimensions newtaxa=y ntax=3;\n    Format triangle=lower diagonal=yes;\n    Matrix\n"
     "a     0.0\nb    10.5   0.0\nc     2.0   3.0   0.0\n    ;\nEnd;\n",
     ""},
    {"full distances", "format=RelPHYLIP dataType=distance dmatrix=full", "2\na 0 0.125\nb 0.125 0\n",
     "Begin distances;\n    Dimensions newtaxa=y ntax=2;\n    Format triangle=both;\n    Matrix\n"
     "a    0.000  0.125\nb    0.125  0.000\n    ;\nEnd;\n",
     ""},
    {"FASTA: description dropped, lines joined, blank lines and comment lines skipped", "format=FASTA "
     "dataType=DNA",
     "; made by hand\n>seq1 human mitochondrion\nACGT\n\nAC\n>'s 2'\nAC-T\n;inside\n??\n>[x]_3\nNNRYAC",
     "Begin data;\n    Dimensions ntax=3 nchar=6;\n    Format datatype=nucleotide gap=-;\n    Matrix\n"
     "seq1    ACGTAC\ns_2     AC-T??\n'[x]_3' NNRYAC\n    ;\nEnd;\n",
     ""},
    {"FASTA: a '>' inside a line starts a record, a ';' inside a line a comment", "format=FASTA",
     ">a\nAC;x>y\nGT>b c\nAC\n GT\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n    Format datatype=nucleotide gap=-;\n    Matrix\n"
     "a ACGT\nb ACGT\n    ;\nEnd;\n",
     ""},
    {"FASTA with CRLF line ends", "format=FASTA", ">a\r\nAC\r\nGT\r\n>b\r\nACGT\r\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n    Format datatype=nucleotide gap=-;\n    Matrix\n"
     "a ACGT\nb ACGT\n    ;\nEnd;\n",
     ""},
    {"FASTA with CR line ends", "format=FASTA", ">a\rAC\rGT\r>b\rAC;x\rGT",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n    Format datatype=nucleotide gap=-;\n    Matrix\n"
     "a ACGT\nb ACGT\n    ;\nEnd;\n",
     ""},
    {"FASTA protein", "format=FASTA dataType=standard", ">a\nMK*\n>b\nM-X\n",
     "Begin data;\n    Dimensions ntax=2 nchar=3;\n    Format datatype=protein gap=-;\n    Matrix\n"
     "a MK*\nb M-X\n    ;\nEnd;\n",
     ""},
    {"NBRF/PIR: DNA and RNA make nucleotide; title and terminator dropped", "format=PIR",
     ">DL;a\ntitle one\nAC GT\nAC*\n\n>RL;bb rest\ntitle two\nACGUA-*\n",
     "Begin data;\n    Dimensions ntax=2 nchar=6;\n    Format datatype=nucleotide gap=-;\n    Matrix\n"
     "a  ACGTAC\nbb ACGUA-\n    ;\nEnd;\n",
     ""},
    {"Hennig86: a titled xread, its symbols from the digits seen, and a tread of two trees", "format=Hennig86",
     "hold 10; xread 'my data' 5 3\ntaxonA 01-?1\ntaxonB 0 1\n 0 ?1 'tax c' 11111\n;\nproc/;\n"
     "tread (0 (1 2))*(0 (2 1));\n",
     "\n[!my data]\n\nBegin data;\n    Dimensions ntax=3 nchar=5;\n    Format symbols=\"0~1\";\n    Matrix\n"
     "taxonA\n01??1\ntaxonB\n010?1\ntax_c\n11111\n    ;\nEnd;\n"
     "\nBegin trees;\n    tree hennig1 = [&U] (1,(2,3));\n    tree hennig2 = [&U] (1,(3,2));\nEnd;\n",
     ""},
    {"simple text: groups kept with blanks and commas dropped, a quoted label", "format=text dataType=DNA",
     "taxon1 A C (A,G) T\n'tax 2' ACGT\nt3 {C T}-?A\n\nignored after the table\n",
     "Begin data;\n    Dimensions ntax=3 nchar=4;\n"
     "    Format datatype=nucleotide gap=- missing=? matchchar=.;\n    Matrix\n"
     "taxon1 AC(AG)T\ntax_2  ACGT\nt3     {CT}-?A\n    ;\nEnd;\n",
     ""},
    {"tab-delimited text: a cell of several letters is an uncertainty, an empty cell missing",
     "format=tabText dataType=standard", "t 1\t0\t12\t\t(0,2)\nt2\t1\t0\t2\t{01}\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n"
     "    Format datatype=standard symbols=\"012\" gap=- missing=? matchchar=.;\n    Matrix\n"
     "t_1 0{12}?(02)\nt2  102{01}\n    ;\nEnd;\n",
     ""},
    {"standard text: the gap, missing and match characters are named, not listed among the symbols",
     "format=text dataType=standard", "a 0-1?\nb 1?.-\n",
     "Begin data;\n    Dimensions ntax=2 nchar=4;\n"
     "    Format datatype=standard symbols=\"01\" gap=- missing=? matchchar=.;\n    Matrix\n"
     "a 0-1?\nb 1?.-\n    ;\nEnd;\n",
     ""},
    {"interleaved simple text: each block's first row fixes its count; restriction sites as - and +",
     "format=text interleaved dataType=restSite", "a 0 1\nb 11\n\na 010\nb 0?1\n",
     "Begin data;\n    Dimensions ntax=2 nchar=5;\n"
     "    Format datatype=standard symbols=\"-+\" missing=? matchchar=. interleave;\n    Matrix\n"
     "a -+\nb ++\n\na -+-\nb -?+\n    ;\nEnd;\n",
     ""},
    {"MEGA: the five-line file", "format=MEGA dataType=DNA interleaved=no",
     "#mega\n!Title demo;\n!Format DataType=DNA indel=-;\n#a ACGT\n#b AC-T\n",
     "\nBegin data;\n[!Title: demo\n]\n    Dimensions ntax=2 nchar=4;\n"
     "    Format datatype=DNA gap=- missing=? matchchar=.;\n    Matrix\na  ACGT\nb  AC-T\n    ;\nEnd;\n",
     ""},
    {"MEGA: old-style title, no type given, ? equated to the missing symbol, interleaved blocks",
     "format=MEGA dataType=protein interleaved",
     "#MEGA\nTITLE: a [bracketed] title\nmore\n#one MK \"note\"\n#two M?\n\n#one V\n#two -\n",
     "\nBegin data;\n[!Title: a (bracketed) title\nmore]\n    Dimensions ntax=2 nchar=3;\n"
     "    Format datatype=protein gap=- missing=? matchchar=. interleave;\n    Matrix\n"
     "one  MK[note]\ntwo  M?\n\none  V\ntwo  -\n    ;\nEnd;\n",
     ""},
    {"MEGA: the file's type stands over a standard type left by an earlier conversion",
     "format=MEGA dataType=standard interleaved=no", "#mega\n!Title t;\n!Format DataType=DNA;\n#a ACGT\n#b AC-T\n",
     "\nBegin data;\n[!Title: t\n]\n    Dimensions ntax=2 nchar=4;\n"
     "    Format datatype=DNA gap=- missing=? matchchar=.;\n    Matrix\na  ACGT\nb  AC-T\n    ;\nEnd;\n",
     ""},
    {"MEGA: names that repeat make an interleaved file, whatever was asked",
     "format=MEGA dataType=DNA interleaved=no", "#mega\n!Title t;\n#a AC\n#b AG\n\n#A GT\n#b GA\n",
     "\nBegin data;\n[!Title: t\n]\n    Dimensions ntax=2 nchar=4;\n"
     "    Format datatype=nucleotide gap=- missing=? matchchar=. interleave;\n    Matrix\n"
     "a  AC\nb  AG\n\nA  GT\nb  GA\n    ;\nEnd;\n",
     ""},
    {"GCG-MSF: header kept as a comment, rulers skipped, a blank after every tenth character",
     "format=GCG",
     "PileUp\n\n MSF: 12  Type: P  Check: 3003 ..\n\n Name: seqA Len: 12 Check: 1 Weight: 1.00\n"
     " Name: seqB Len: 12 Check: 2 Weight: 1.00\n\n//\n\n  1       10\nseqA MKV.~MKVLL\nseqB MKVLLMKVLL\n\n"
     "  11\nSEQA W*\nseqb ~~\n",
     "\n[PileUp\n\n MSF: 12  Type: P  Check: 3003 ..\n\n]\n\nBegin data;\n    Dimensions ntax=2 nchar=12;\n"
     "    Format datatype=protein interleave gap=. missing=~ equate=\"-=.\";\n    Matrix\n"
     "  seqA  MKV.~MKVLL \n  seqB  MKVLLMKVLL \n\n  seqA  W*\n  seqB  ~~\n    ;\nEnd;\n",
     ""},
    {"FreqPars: equal vectors share a state, fractional loci get a step matrix, a zero vector is missing",
     "format=FreqPars",
     "A [test] title\n4 3 t1 t2\n t3 t4\nOPTIONS none\n(A10,4F6.3)\n"
     "locA 2\na1        0.500 0.500 1.000 0.000\na2        0.500 0.500 0.000 0.000\n"
     "locB 1\nb1         1.000 1.000 1.000 1.000\n"
     "locC 2\nc1        1.000 0.000 1.000 0.000\nc2        0.000 1.000 0.000 1.000\n",
     "[!Title=A (test) title]\n\nBegin data;\n\tDimensions ntax=4 nchar=3;\n"
     "\tFormat symbols=\"ab\" missing=?;\n\tMatrix\nt1 aaa\nt2 aab\nt3 baa\nt4 ?ab\n\t;\nEnd;\n\n"
     "Begin assumptions;\n\tUsertype locA = 2 ab\n\t\t[a] 0.00000 0.50000\n\t\t[b] 0.50000 0.00000\n\t\t;\n"
     "\ttypeset *manob =\n\t\tlocA:1,\n\t\tunord:remainder\n\t\t;\nEnd;\n",
     ""},
    {"NBRF/PIR protein", "format=PIR", ">P1;x\nt\nMKV*\n>F1;y\nt\nMKI*\n",
     "Begin data;\n    Dimensions ntax=2 nchar=3;\n    Format datatype=protein gap=-;\n    Matrix\n"
     "x MKV\ny MKI\n    ;\nEnd;\n",
     ""},
};

TEST_F(ToNexusTest, ConvertsSmallFilesExactly)
{
    for (const ImportCase &c : kConversions) {
        gWarnings.clear();
        gErrors.clear();
        std::string body;
        EXPECT_EQ(convert(c.options, c.input, &body), 0) << c.what << "\n" << gErrors;
        EXPECT_EQ(body, c.body) << c.what;
        EXPECT_EQ(gWarnings, c.warnings) << c.what;
    }
}

struct RefusalCase {
    const char *what;
    const char *options;
    const char *input;
    uint32_t code;
    const char *text;  // part of the message
};

const RefusalCase kRefusals[] = {
    {"no counts", "format=PHYLIP dataType=nucleotide interleaved=no", "x 4\nt1        ACGT\n", 902,
     "as a PHYLIP file"},
    {"a zero count", "format=RelPHYLIP", "2 0\n", 902, "as a relaxed PHYLIP file"},
    {"too many taxa", "format=RelPHYLIP", "16385 1\n", 302, "(16384)"},
    {"a matrix too large", "format=RelPHYLIP", "16384 4294967295\n", 0, "too large"},
    {"X in nucleotide data", "format=RelPHYLIP", "2 3\na ACX\nb ACG\n", 308,
     "Invalid character state 'X' for taxon 1 character 3."},
    {"a digit in standard data", "format=RelPHYLIP dataType=standard", "1 3\na 012\n", 308, "character 3."},
    {"a row cut short by the end", "format=RelPHYLIP dataType=nucleotide", "2 4\na ACGT\nb AC", 114, ""},
    {"a missing taxon", "format=RelPHYLIP", "3 2\na AC\nb AC\n", 114, ""},
    {"a sequential row longer than nchar", "format=RelPHYLIP", "2 2\na ACG\nb AC\n", 910,
     "Sequence \"a\" is longer"},
    {"an interleaved row shorter than the others", "format=RelPHYLIP interleaved", "2 4\na AC\nb AC\n\nG\nGT\n",
     910, "Sequence \"a\" is shorter"},
    {"interleaved blocks missing", "format=RelPHYLIP interleaved", "2 4\na AC\nb AC\n\n", 114, ""},
    {"a distance that is no number", "format=RelPHYLIP dataType=distance dmatrix=lower interleaved=no",
     "2\na\nb x\n", 341, "Invalid distance value: x"},
    {"a semicolon among distances", "format=RelPHYLIP dataType=distance", "2\na\nb ;\n", 118, ""},
    {"a diagonal that is no number", "format=RelPHYLIP dataType=distance dmatrix=full",
     "2\na nan 1\nb 1 0\n", 341, "Invalid distance value: nan"},
    {"an infinite diagonal", "format=RelPHYLIP dataType=distance dmatrix=full", "2\na 0 1\nb 1 inf\n", 341,
     "value: inf"},
    {"a hexadecimal diagonal", "format=RelPHYLIP dataType=distance dmatrix=diaglower", "2\na 0x10\nb 1 0\n", 341,
     "value: 0x10"},
    {"a negative diagonal", "format=RelPHYLIP dataType=distance dmatrix=full", "2\na -1 1\nb 1 0\n", 341,
     "value: -1"},
    {"a diagonal out of range", "format=RelPHYLIP dataType=distance dmatrix=full", "2\na 1e400 1\nb 1 0\n", 341,
     "value: 1e400"},
    {"FASTA without a record", "format=FASTA dataType=nucleotide", "\n; nothing\n", 902, "as a FASTA file"},
    {"FASTA not starting with >", "format=FASTA", "ACGT\n", 902, "as a FASTA file"},
    {"FASTA records without sequences", "format=FASTA", ">a\n>b\n", 902, "as a FASTA file"},
    {"NBRF/PIR records without sequences", "format=PIR", ">DL;a\nt\n*\n>DL;b\nt\n*\n", 902,
     "as a NBRF/PIR file"},
    {"a FASTA sequence one shorter", "format=FASTA", ">a\nACGT\n>b d\nACG\n", 910,
     "Sequence \"b\" is shorter than previous sequence(s)."},
    {"a FASTA header without its line end", "format=FASTA", ">a\nAC\n>b", 114, ""},
    {"NBRF/PIR protein then DNA", "format=PIR", ">P1;a\nt\nMK*\n>DL;b\nt\nAC*\n", 911, "mix"},
    {"NBRF/PIR of an unknown type", "format=PIR", ">XL;a\nt\nAC*\n", 909, "Unsupported NBRF/PIR format: X"},
    {"NBRF/PIR without the semicolon", "format=PIR", ">DL a\n", 119, "found \"end-of-file\""},
    {"NBRF/PIR without the terminator", "format=PIR", ">DL;a\nt\nACGT\n", 114, ""},
    {"NBRF/PIR of unequal lengths", "format=PIR", ">DL;a\nt\nACGT*\n>DL;b\nt\nAC*\n", 910, "shorter"},
    {"not NBRF/PIR", "format=PIR", "DL;a\n", 902, "as a NBRF/PIR file"},
    {"Hennig86 without xread or tread", "format=Hennig86", "hold 10;\nproc /;\n", 905, "No 'xread' or 'tread'"},
    {"an xread without counts", "format=Hennig86", "xread 'x' five 3\n", 902, "as a Hennig86 file"},
    {"a letter in an xread", "format=Hennig86", "xread 2 1\na 0A;\n", 308, "'A' for taxon 1 character 2."},
    {"an xread cut short", "format=Hennig86", "xread 3 2\na 012\nb 01", 114, ""},
    {"a later row of another length", "format=text interleaved", "a AC\nb AG\n\na ACG\nb AC\n", 906,
     "Taxon 2 (b) has 2 characters in this block; previous taxa had 3 characters."},
    {"a group that does not close", "format=text", "a A(CG\n", 903, "Unbalanced '(' for taxon 1."},
    {"a bracketed tab cell with more after it", "format=tabText", "a\t(AC)G\n", 903, "Unbalanced '('"},
    {"a first row without cells", "format=tabText", "a\nb\tA\n", 902, "as a Tab-delimited text file"},
    {"an empty table", "format=text", "\n  \n", 114, ""},
    {"a lower-case letter in GCG data", "format=GCG",
     "MSF: 4 Type: N ..\n Name: a Len: 4\n//\na ACgT\n", 308, "'g' for taxon 1 character 3."},
    {"a GCG sequence longer than the alignment", "format=GCG",
     "MSF: 6 Type: N ..\n Name: t1 Len: 6\n Name: t2 Len: 6\n//\nt1 ACGTTC\nt2 ACGTTCGGTT\n", 0,
     "Sequence \"t2\" has more than the 6 characters given by \"MSF:\"."},
    {"a GCG sequence running over in its last block", "format=GCG",
     "MSF: 12 Type: N ..\n Name: a\n Name: b\n//\na ACGTACGTAC\nb ACGTACGTAC\n\na GT\nb GT A\n", 0,
     "Sequence \"b\" has more than the 12 characters"},
    {"GCG without its length", "format=GCG", "Type: N ..\n Name: a\n//\n", 902, "as a GCG/MSF file"},
    {"GCG names without //", "format=GCG", "MSF: 4 Type: N ..\n Name: a Len: 4\n", 902, "GCG/MSF"},
    {"not a MEGA file", "format=MEGA", "#NEXUS\n", 902, "as a MEGA file"},
    {"a MEGA comment left open", "format=MEGA", "#mega\n!Title t;\n#a AC \"open\n", 111, "Unterminated quote."},
    {"MEGA rows of two lengths", "format=MEGA interleaved=no", "#mega\n!Title t;\n#a AC\n#b ACG\n", 906,
     "Taxon 2 (b) has 3 characters; previous taxa had 2 characters."},
    {"a MEGA file without rows", "format=MEGA", "#mega\n!Title t;\n", 114, ""},
    {"FreqPars without a taxon count", "format=FreqPars", "t\nx 2\n", 914, "number of taxa found \"x\""},
    {"FreqPars without a locus count", "format=FreqPars", "t\n2 0 a b\n", 915, "number of loci found \"0\""},
    {"FreqPars without an allele count", "format=FreqPars", "t\n1 1 a\n(A4,F4.1)\nL x\n", 916,
     "number of alleles found \"x\""},
    {"a FreqPars FORMAT in error", "format=FreqPars", "t\n1 1 a\n(A4,F4.1\nL 1\n", 917,
     "too few right parentheses"},
    {"a frequency that is no number", "format=FreqPars", "t\n1 1 a\n(A4,F4.1)\nL 1\nx    abc\n", 917,
     "Data syntax error in real field."},
    {"an allele line missing", "format=FreqPars", "t\n1 1 a\n(A4,F4.1)\nL 2\nx    0.5\n", 917,
     "End-of-file encountered while reading data."},
    {"FreqPars ending in its head", "format=FreqPars", "t\n3 1 a b\n", 114, ""},
    {"FreqPars with more taxa than a data set holds", "format=FreqPars", "t\n16385 1 a\n", 302, "(16384)"},
    {"FreqPars with too many loci", "format=FreqPars", "t\n2 00099999999999 a b\n", 0,
     "number of loci in the file (00099999999999) exceeds the maximum"},
    {"FreqPars with too many alleles", "format=FreqPars", "t\n1 1 a\n(A4,F4.1)\nL 70000\n", 0,
     "number of alleles in the file (70000) exceeds"},
    {"interleaved MEGA whose sequences stand below their names", "format=MEGA interleaved",
     "#mega\n!Title t;\n#a\nACGT\n#b\nAC-T\n", 902, "as a MEGA file"},
};

// A refused file leaves no output where none stood, and an earlier file as
// it was, even when told to replace it; the table holds every format.
TEST_F(ToNexusTest, RefusesBadFilesAndLeavesTheOutputAsItWas)
{
    constexpr const char *kEarlier = "#NEXUS\n[an earlier conversion]\n";
    for (const RefusalCase &c : kRefusals) {
        for (const char *earlier : {static_cast<const char *>(nullptr), kEarlier}) {
            gCodes.clear();
            gErrors.clear();
            std::string body;
            EXPECT_EQ(convert(c.options, c.input, &body, earlier), 1) << c.what;
            ASSERT_FALSE(gCodes.empty()) << c.what;
            EXPECT_EQ(gCodes.front(), c.code) << c.what << ": " << gErrors;
            EXPECT_NE(gErrors.find(c.text), std::string::npos) << c.what << ": " << gErrors;
            const fs::path out = dir_ / ("out" + std::to_string(n_) + ".nex");
            if (earlier)
                EXPECT_EQ(slurp(out), earlier) << c.what;
            else
                EXPECT_FALSE(fs::exists(out)) << c.what;
            for (const fs::directory_entry &e : fs::directory_iterator(dir_))
                EXPECT_NE(e.path().filename().string()[0], '.') << c.what << ": " << e.path() << " was left";
        }
    }
}

// A NUL byte in a foreign file is skipped like any control byte, whether the
// importer takes the file in whole lines (FASTA, PHYLIP, GCG) or a character
// at a time (NBRF/PIR): the conversion is that of the file without it.
TEST_F(ToNexusTest, NulBytesAreSkipped)
{
    using namespace std::string_literals;
    const struct {
        const char *options;
        std::string input;
    } cases[] = {
        {"format=FASTA", ">a\nAC\0GT\n>b\nACGT\n"s},
        {"format=RelPHYLIP dataType=DNA interleaved=no", "2 4\na AC\0GT\nb ACGT\n"s},
        {"format=GCG", "MSF: 4 Type: N ..\n Name: a\n Name: b\n//\na AC\0GT\nb ACGT\n"s},
        {"format=PIR", ">DL;a\nt\nAC\0GT*\n>DL;b\nt\nACGT*\n"s},
    };
    for (const auto &c : cases) {
        std::string plain = c.input;
        std::erase(plain, '\0');
        std::string expected, body;
        ASSERT_EQ(convert(c.options, plain, &expected), 0) << c.options << ": " << gErrors;
        gCodes.clear();
        gErrors.clear();
        EXPECT_EQ(convert(c.options, c.input, &body), 0) << c.options << ": " << gErrors;
        EXPECT_TRUE(gCodes.empty()) << c.options << ": " << gErrors;
        EXPECT_EQ(body, expected) << c.options;
    }
}

// A locus may have as many distinct frequency vectors as there are state
// symbols before the missing code: 37 need letters of both cases, 64 are
// refused.
TEST_F(ToNexusTest, FreqParsStatesAreBounded)
{
    auto frequency = [](double f) {
        char field[16];
        std::snprintf(field, sizeof field, "%6.3f", f);
        return std::string(field);
    };
    auto file = [&](uint32_t ntax) {
        std::string text = "bounds\n" + std::to_string(ntax) + " 1";
        for (uint32_t t = 0; t < ntax; t++)
            text += " t" + std::to_string(t);
        text += "\n(A4," + std::to_string(ntax) + "F6.3)\nL 2\nx   ";
        for (uint32_t t = 0; t < ntax; t++)
            text += frequency(t / 100.0);
        text += "\ny   ";
        for (uint32_t t = 0; t < ntax; t++)
            text += frequency(1 - t / 100.0);
        return text + "\n";
    };
    std::string body;
    ASSERT_EQ(convert("format=FreqPars", file(37), &body), 0) << gErrors;
    EXPECT_NE(body.find("\tFormat respectCase symbols=\"abcdefghijklmnopqrstuvwxyz0123456789A\";"),
              std::string::npos)
        << body;
    ASSERT_EQ(convert("format=FreqPars", file(63), &body), 0) << gErrors;
    EXPECT_NE(body.find("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-\";"), std::string::npos) << body;
    EXPECT_EQ(convert("format=FreqPars", file(64), &body), 1);
    EXPECT_EQ(gCodes, std::vector<uint32_t>{918});
    EXPECT_EQ(body, "");
}

// Frequencies are fractions: a value outside 0..1 (a missing-data code such
// as -9) is refused, not priced as a state in the step matrix.
TEST_F(ToNexusTest, FreqParsFrequenciesOutsideZeroToOneAreRefused)
{
    const std::string head = "range\n3 1 t1 t2 t3\n(A4,3F6.2)\nL1 2\n";
    std::string body;
    ASSERT_EQ(convert("format=FreqPars", head + "a1    1.00  0.50  0.00\na2    0.00  0.50  1.00\n", &body), 0)
        << gErrors;
    for (const char *row : {"a1    1.00  0.50 -9.00\na2    0.00  0.50  1.00\n",
                            "a1    1.00  1.50  0.00\na2    0.00  0.50  1.00\n"}) {
        gErrors.clear();
        EXPECT_EQ(convert("format=FreqPars", head + row, &body), 1) << row;
        EXPECT_NE(gErrors.find("is not between 0 and 1"), std::string::npos) << gErrors;
        EXPECT_EQ(body, "") << row;
    }
}

// Sequence lines are taken a line at a time: the line an error names must
// still be the one the reader stands on, whatever the line ends.
TEST_F(ToNexusTest, ErrorsNameTheLineUnderEveryLineEnd)
{
    for (const char *end : {"\n", "\r\n", "\r"}) {
        std::string input;
        for (const char *line : {">a", "ACGT", ";note", "", ">b", "AC", "G", ">c", "ACGT"})
            input += std::string(line) + end;
        EXPECT_EQ(convert("format=FASTA", input), 1);
        ASSERT_EQ(gCodes, std::vector<uint32_t>{910}) << gErrors;
        EXPECT_EQ(gErrorLine, 8u) << "line end " << int(end[0]) << int(end[1]);
        gCodes.clear();
        // PHYLIP rows are taken a line at a time too.
        struct {
            const char *options;
            std::vector<const char *> lines;
            uint32_t code, line;
        } phylip[] = {
            {"format=RelPHYLIP interleaved=no", {"3 6", "a ACG", "TAC", "b ACGTAC", "c ACGXAC"}, 308, 5},
            {"format=RelPHYLIP interleaved=no", {"2 4", "a ACGT 10", "b ACGTA", "c"}, 910, 3},
            {"format=RelPHYLIP interleaved", {"2 6", "a ACG", "b ACG", "", "TAC", "TJC"}, 308, 6},
        };
        for (const auto &c : phylip) {
            input.clear();
            for (const char *line : c.lines)
                input += std::string(line) + end;
            EXPECT_EQ(convert(c.options, input), 1);
            ASSERT_EQ(gCodes, std::vector<uint32_t>{c.code}) << gErrors;
            EXPECT_EQ(gErrorLine, c.line) << c.lines[1] << " line end " << int(end[0]) << int(end[1]);
            gCodes.clear();
        }
    }
}

// A name given to two taxa is pointed out in every format; the names that
// interleaved blocks repeat are no such case.
TEST_F(ToNexusTest, NamesGivenTwiceAreSaidInEveryFormat)
{
    const struct {
        const char *options;
        const char *input;
        bool repeated;
    } cases[] = {
        {"format=RelPHYLIP interleaved=no", "2 2\nab AC\nAB AG\n", true},
        {"format=PHYLIP interleaved", "2 4\nab        AC\ncd        AG\n\nGT\nGA\n", false},
        {"format=FASTA", ">x\nAC\n>x\nAG\n", true},
        {"format=PIR", ">DL;x\nt\nAC*\n>DL;x\nt\nAG*\n", true},
        {"format=text interleaved", "a AC\nb AG\n\na GT\nb GA\n", false},
        {"format=tabText", "a\tA\na\tC\n", true},
        {"format=Hennig86", "xread 1 2\nq 0\nq 1;\n", true},
        {"format=MEGA interleaved=no", "#mega\n!Title t;\n#a AC\n#b AG\n\n#a GT\n#b GA\n", false},
        {"format=GCG", "MSF: 2 Type: N ..\n Name: s Len: 2\n Name: S Len: 2\n//\ns AC\nS AG\n", true},
        {"format=FreqPars", "t\n2 1 u u\n(A4,2F4.1)\nL 1\nx    1.0 0.0\n", true},
    };
    for (const auto &c : cases) {
        gOut.clear();
        gErrors.clear();
        EXPECT_EQ(convert(c.options, c.input), 0) << c.options << "\n" << gErrors;
        EXPECT_EQ(gOut.find("assigned to more than one taxon") != std::string::npos, c.repeated)
            << c.options << "\n" << gOut;
    }
}

TEST_F(ToNexusTest, WritesTheHeadWithTheFormatPathAndDate)
{
    const fs::path from = dir_ / "odd[1].fas";
    std::ofstream(from) << ">a\nAC\n";
    feed("format=FASTA fromFile='" + from.string() + "' toFile=" + (dir_ / "o.nex").string() + ";", true);
    ASSERT_EQ(importFile(), 0) << gErrors;
    const std::string text = slurp(dir_ / "o.nex");
    const std::regex head("#NEXUS \n\n\\[!\nFASTA file \"" + (dir_ / "odd\\(1\\).fas").string() +
                          "\"\n  \\(imported [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\)\n\\]\n"
                          "Begin data;\n[^]*");
    EXPECT_TRUE(std::regex_match(text, head)) << text;
    EXPECT_EQ(gOut, "\nFile \"" + from.string() + "\" (FASTA format) converted to NEXUS-format file \"" +
                        (dir_ / "o.nex").string() + "\"\n");
}

// The layout is a setting like the format: it holds for the next
// conversion until it is changed, so a sequential MEGA file after an
// interleaved PHYLIP file needs "interleaved=no".
TEST_F(ToNexusTest, InterleavedIsRememberedUntilChanged)
{
    ASSERT_EQ(convert("format=RelPHYLIP interleaved", "2 4\na AC\nb AC\n\nGT\nGT\n"), 0) << gErrors;
    const std::string mega = "#mega\n!Title t;\n#a\nACGT\n#b\nAC-T\n";
    EXPECT_NE(convert("format=MEGA", mega), 0);
    std::string body;
    ASSERT_EQ(convert("format=MEGA interleaved=no", mega, &body), 0) << gErrors;
    EXPECT_NE(body.find("Dimensions ntax=2 nchar=4;\n    Format datatype=nucleotide gap=- missing=? matchchar=.;\n"),
              std::string::npos)
        << body;
}

// Every format keeps names whole up to the length a NEXUS file can hold and
// cuts longer ones there, each named once; names made equal by the cut
// are refused.
TEST_F(ToNexusTest, LongNamesAreCutToWhatADataBlockReads)
{
    const std::string longest(kMaxLabelLength, 'n');
    const std::string name60 = std::string(60, 'm');
    struct {
        const char *options;
        std::string file;
    } cases[] = {
        {"format=FASTA", ">" + longest + "xyz\nAC\n>" + name60 + "\nAC\n"},
        {"format=RelPHYLIP", "2 2\n" + longest + "xyz AC\n" + name60 + " AC\n"},
        {"format=PIR", ">DL;" + longest + "xyz\nt\nAC*\n>DL;" + name60 + "\nt\nAC*\n"},
        {"format=text", longest + "xyz AC\n" + name60 + " AC\n"},
        {"format=MEGA", "#mega\n!Title t;\n#" + longest + "xyz AC\n#" + name60 + " AC\n"},
        {"format=Hennig86", "xread 2 2\n" + longest + "xyz 01\n" + name60 + " 10\n;\n"},
    };
    for (const auto &c : cases) {
        gWarnings.clear();
        std::string body;
        ASSERT_EQ(convert(c.options, c.file, &body), 0) << c.options << gErrors;
        EXPECT_NE(body.find("\n" + longest), std::string::npos) << c.options << body;
        EXPECT_EQ(body.find(longest + "x"), std::string::npos) << c.options;
        EXPECT_NE(body.find("\n" + name60), std::string::npos) << c.options << body;
        EXPECT_EQ(gWarnings, "0 Name \"" + longest + "...\" (131 characters) was cut to its first 128 characters.\n")
            << c.options;
    }
    gErrors.clear();
    EXPECT_EQ(convert("format=FASTA", ">" + longest + "x\nAC\n>" + longest + "y\nAC\n>" + longest + "x\nAC\n"),
              1);
    EXPECT_NE(gErrors.find("Two names begin with the same 128 characters"), std::string::npos) << gErrors;
    EXPECT_EQ(slurp(dir_ / ("out" + std::to_string(n_) + ".nex")), "");
}

TEST_F(ToNexusTest, NeedsBothFileNamesEachTime)
{
    std::string body;
    ASSERT_EQ(convert("format=FASTA", ">a\nAC\n", &body), 0);
    const fs::path out = dir_ / "not-made.nex";
    feed("fromFile=" + (dir_ / "in1").string() + ";", true);
    EXPECT_EQ(importFile(), 1);
    feed("toFile=" + out.string() + ";", true);
    EXPECT_EQ(importFile(), 1);
    EXPECT_EQ(gCodes, (std::vector<uint32_t>{913, 912}));
    EXPECT_FALSE(fs::exists(out));
}

TEST(EmitFormatCmd, WritesTheSettingsOfTheImport)
{
    const ImportOptions saved = imprt;
    struct {
        uint32_t format, dataType, megaType;
        int gap, missing, match;
        uint8_t equate;
        bool interleaved;
        const char *expected;
    } cases[] = {
        {kImportText, kImportStandard, 0, '-', '?', 0, 0, false,
         "    Format datatype=standard symbols=\"0123\" gap=- missing=?;\n"},
        {kImportText, kImportDistance, 0, '-', 0, 0, 0, false, "    Format datatype=distance;\n"},
        {kImportText, kImportNucleotide, 0, '-', '?', '.', 1, true,
         "    Format datatype=nucleotide gap=- missing=? matchchar=. interleave equate=\"?=?\";\n"},
        {kImportMega, kImportNucleotide, kMegaRna, 0, 'N', 0, 0, false, "    Format datatype=RNA missing=N;\n"},
        {kImportText, kImportProtein, 0, '~', 'X', 0, 0, false, "    Format datatype=protein gap=~ missing=X;\n"},
    };
    for (const auto &c : cases) {
        imprt.format = c.format;
        imprt.dataType = c.dataType;
        imprt.megaDataType = c.megaType;
        imprt.gapSymbol = c.gap;
        imprt.missSymbol = c.missing;
        imprt.identSymbol = c.match;
        imprt.equateMissing = c.equate;
        ResizText *text = createResizText(0, 0);
        ASSERT_EQ(emitFormatCmd(text, c.interleaved, "0123"), 0);
        EXPECT_EQ(std::string(getResizTextBuffer(text)), c.expected);
        destroyResizText(text);
    }
    imprt = saved;
}

TEST(ForeignLabels, RewriteLabelsForOtherReaders)
{
    char b[64];
    EXPECT_STREQ(phylipLabel("Homo sapiens (human)", true, false, b, sizeof b), "Homo_sapiens_human");
    EXPECT_STREQ(phylipLabel("Homo sapiens (human)", false, false, b, sizeof b), "Homo sapiens human");
    EXPECT_STREQ(phylipLabel("Drosophila_melanogaster", false, true, b, sizeof b), "Drosophila");
    EXPECT_STREQ(phylipLabel("a,b;c", true, true, b, sizeof b), "abc");
    EXPECT_STREQ(phylipLabel("(a)_b c_d e f g h", false, true, b, sizeof b), "a b c d ");
    EXPECT_STREQ(phylipLabel("O'Brien:s", true, true, b, sizeof b), "O'Brien:s");
    EXPECT_STREQ(phylipLabel("abcdefgh", true, false, b, 5), "abcd");
    // A strict name is cut to 10 bytes on a character boundary: a UTF-8
    // character that does not fit whole is left out.
    EXPECT_STREQ(phylipLabel("Hyla sp3 \xC3\xA9", false, true, b, sizeof b), "Hyla sp3 ");
    EXPECT_STREQ(phylipLabel("\xC3\x96sterg\xC3\xB6tland", false, true, b, sizeof b), "\xC3\x96sterg\xC3\xB6t");
    EXPECT_STREQ(phylipLabel("abcdefghi\xE2\x82\xAC", false, true, b, sizeof b), "abcdefghi");
    EXPECT_STREQ(phylipLabel("abcdefgh\xE2\x82\xAC", false, true, b, sizeof b), "abcdefgh");
    EXPECT_STREQ(newickTreeLabel("Pan troglodytes", b, sizeof b), "Pan_troglodytes");
    // Newick keeps a name with syntax characters whole in quotes.
    EXPECT_STREQ(newickTreeLabel("Rana temporaria '\xC3\x96sterg\xC3\xB6tland'", b, sizeof b),
                 "'Rana temporaria ''\xC3\x96sterg\xC3\xB6tland'''");
    EXPECT_STREQ(newickTreeLabel("Homo sapiens (human)", b, sizeof b), "'Homo sapiens (human)'");
    EXPECT_STREQ(newickTreeLabel("a=b:c", b, sizeof b), "'a=b:c'");
    // Blanks beside underscores: unquoted, every "_" would read as a blank
    // for some readers and as an underscore for others.
    EXPECT_STREQ(newickTreeLabel("Hyla arborea_CZ", b, sizeof b), "'Hyla arborea_CZ'");
    EXPECT_STREQ(newickTreeLabel("Hyla_arborea", b, sizeof b), "Hyla_arborea");
    EXPECT_STREQ(phylipTreeLabel("Pan troglodytes", b, sizeof b), "Pan_troglo");
    EXPECT_STREQ(hennigLabel("3rd taxon", b, sizeof b), "T3rd_taxon");
    EXPECT_STREQ(hennigLabel("E.coli", b, sizeof b), "E_coli");
    EXPECT_STREQ(hennigLabel("9abcdef", b, 6), "T9abc");
}

}  // namespace
