// The dialog descriptions' XML reader on 1 MiB of the subset both read alike,
// against libxml2's xmlReadMemory on the same bytes; and the end-of-session
// dialog with a 1 MiB chat transcript put into two data texts, from
// initDialog to shown (offscreen), plain and with 10,000 copies of both
// variable names inside the transcript. Prints the two ratios at the end.
#include "bench/ratio_main.h"
#include "rulo/init.h"
#include "tovan/dialogs/end_of_session.h"
#include "tovan/dialogs/xml_dialog.h"
#include "tovan/dialogs/xml_parser.h"

#include <QApplication>

#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdlib>
#include <random>
#include <string>

namespace {

// Elements with quoted attributes, text before the first child, references.
std::string make_document(std::size_t size) {
    std::mt19937 rng(7);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    static char const* const words[] = {"alpha", "b&amp;c",      "&lt;tag&gt;", "\xc3\xa9t\xc3\xa9",
                                        "x y z", "&quot;q&apos;"};
    std::string doc = "<root>";
    while (doc.size() < size) {
        doc += "<item id=\"" + std::to_string(pick(100000)) + "\" kind='" + words[pick(6)] + "'>";
        doc += words[pick(6)];
        for (int i = pick(4); i > 0; --i)
            doc += "<v n=\"" + std::to_string(i) + "\">" + words[pick(6)] + "</v>";
        doc += "</item>";
    }
    return doc + "</root>";
}

std::string const& document() {
    static std::string const d = make_document(1u << 20);
    return d;
}

void BM_ParseOurs(benchmark::State& state) {
    std::string const& d = document();
    for (auto _ : state) {
        tovan::_tagXMLNode root;
        if (root.Load(d) != d.c_str() + d.size()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root.children.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_ParseOurs)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ParseLibxml2(benchmark::State& state) {
    std::string const& d = document();
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(d.data(), static_cast<int>(d.size()), "bench.xml", nullptr, 0);
        if (!doc) state.SkipWithError("libxml2 failed");
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_ParseLibxml2)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string const eos_dialog =
    "<dialog title='Thank you' width='200' height='120' result='comments'>"
    "<static title='How did it go?' left='5' top='5' width='190' height='10'/>"
    "<edit style='ES_MULTILINE' left='5' top='20' width='190' height='60' result='text'/>"
    "<button id='IDOK' title='Send' left='50' top='95' width='40' height='14'/>"
    "<data result='plain'>@CHAT_TRANSCRIPT_PLAIN@</data>"
    "<data result='html'>@CHAT_TRANSCRIPT@</data></dialog>";

std::string transcript(bool with_names) {
    std::string line = "12:00:00 customer: the printer in room four still says paper jam\n";
    std::string t;
    int names = 0;
    while (t.size() < (1u << 20)) {
        t += line;
        if (with_names && names < 10000) {
            t += "@CHAT_TRANSCRIPT_PLAIN@ @CHAT_TRANSCRIPT@\n";
            ++names;
        }
    }
    return t;
}

void run_dialog(benchmark::State& state, bool with_names) {
    std::string const plain = transcript(with_names);
    tovan::dialog_variables const vars = tovan::transcript_variables(plain, "<p>" + plain + "</p>");
    for (auto _ : state) {
        tovan::CXMLDialog d(nullptr);
        d.initDialog(eos_dialog);
        d.build(&vars);
        d.show();
        QApplication::processEvents();
        benchmark::DoNotOptimize(d.isVisible());
    }
}

void BM_EndOfSessionDialog(benchmark::State& state) {
    run_dialog(state, false);
}
BENCHMARK(BM_EndOfSessionDialog)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EndOfSessionDialogNames(benchmark::State& state) {
    run_dialog(state, true);
}
BENCHMARK(BM_EndOfSessionDialogNames)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    QApplication app(argc, argv);
    return bench_support::run_with_ratios(
        argc, argv,
        {{"BM_ParseOurs", "BM_ParseLibxml2", "XML reader / libxml2 xmlReadMemory (goal <= 2)"},
         {"BM_EndOfSessionDialogNames", "BM_EndOfSessionDialog",
          "end-of-session dialog with 10,000 names / without (goal <= 1.2)"}});
}
