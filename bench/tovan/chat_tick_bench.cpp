// The chat display of one GUI tick: 200 queued lines of 512 bytes made into
// the log's HTML (stamp, unquoted colours, plain copy, Latin-1 copy for the
// server's live chat) and appended to a QTextEdit the way the dialog does,
// against QTextEdit::append of the same finished HTML alone. Also one line
// of 1 MiB holding only distinct quoted colour tags, whose unquoting once
// scanned the whole line again for every tag.
#include "bench/ratio_main.h"
#include "tovan/look/chat_text.h"
#include "tovan/util/text_utils.h"

#include <QApplication>
#include <QScrollBar>
#include <QTextEdit>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A 512-byte line with a coloured name and a few quoted colour tags.
std::vector<std::string> queued_lines() {
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) {
        std::string line = "\xEF\xBB\xBF<b><font color=007CC3>Desk<font color=000000> : </b>";
        for (int w = 0; line.size() < 480; ++w)
            line += (w % 7 == 0 ? "<font color=\"FF0000\">word</font> " : "word" + std::to_string(w) + " ");
        line.resize(512, 'x');
        lines.push_back(line);
    }
    return lines;
}

void append_keeping_scroll(QTextEdit& log, QString const& html) {
    QScrollBar* bar = log.verticalScrollBar();
    bool const at_end = bar->value() == bar->maximum();
    log.append(html);
    if (at_end) bar->setValue(bar->maximum());
}

void BM_TickShowingLines(benchmark::State& state) {
    auto const lines = queued_lines();
    for (auto _ : state) {
        state.PauseTiming();
        QTextEdit log;
        QString html, plain;
        std::vector<std::string> sent;
        state.ResumeTiming();
        for (auto const& line : lines) {
            auto const l = tovan::look::format_chat_line(tovan::unknown_to_unicode(line.data(), line.size()),
                                                         "12:00:00");
            plain += l.plain;
            html += l.html;
            append_keeping_scroll(log, l.html);
            sent.push_back(tovan::look::latin1_html(l.html));
        }
        benchmark::DoNotOptimize(sent.data());
    }
    state.SetItemsProcessed(state.iterations() * 200);
}

void BM_AppendOnly(benchmark::State& state) {
    std::vector<QString> html;
    for (auto const& line : queued_lines())
        html.push_back(
            tovan::look::format_chat_line(tovan::unknown_to_unicode(line.data(), line.size()), "12:00:00")
                .html);
    for (auto _ : state) {
        state.PauseTiming();
        QTextEdit log;
        state.ResumeTiming();
        for (auto const& h : html) log.append(h);
        benchmark::DoNotOptimize(&log);
    }
    state.SetItemsProcessed(state.iterations() * 200);
}

void BM_MegabyteOfDistinctTags(benchmark::State& state) {
    std::string line;
    char tag[32];
    for (unsigned i = 0; line.size() < (1u << 20); ++i) {
        std::snprintf(tag, sizeof tag, "<font color=\"%06X\">x", i);
        line += tag;
    }
    QString const text = QString::fromLatin1(line.data(), int(line.size()));
    for (auto _ : state) {
        auto const l = tovan::look::format_chat_line(text, "12:00:00");
        benchmark::DoNotOptimize(l.html.size());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(line.size()));
}

} // namespace

BENCHMARK(BM_TickShowingLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppendOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MegabyteOfDistinctTags)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return bench_support::run_with_ratio(argc, argv, "BM_TickShowingLines", "BM_AppendOnly",
                                         "tick showing 200 lines / append alone");
}
