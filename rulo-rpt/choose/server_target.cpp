#include "rulo-rpt/choose/server_target.h"

#include "rulo-rpt/http/xstd-http.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo/config_store.h"
#include "rulo/errlog.h"
#include "rulo/random.h"
#include "rulo/text.h"

#include <QSettings>
#include <QString>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace rulo {
namespace {

char const log_prefix[] = "AutoTransport";
std::string const public_ip_key = "AutoTransport/Last public IP/";

// Held by save_additional while it reads, compares and writes an entry.
std::mutex additional_mutex;

// Latin-1 maps every byte to one character and back, so any bytes come out of
// the settings exactly as they went in (as the ini store does).
QString q(std::string const& bytes) {
    return QString::fromLatin1(bytes.data(), int(bytes.size()));
}

std::string bytes(QString const& text) {
    QByteArray raw = text.toLatin1();
    return std::string(raw.constData(), size_t(raw.size()));
}

void append_random_letters(std::string& out, int count) {
    for (int i = 0; i < count; ++i) out += char('a' + rulo::rand() % 26);
}

// The label that stands for one '*'.
std::string made_up_label(std::string const& configured) {
    std::string label;
    try {
        if (!configured.empty()) {
            std::string saved = my_saved_ip(configured);
            if (is_ip(saved)) {
                label += "myip";
                unsigned int address = get_iaddr(saved);
                for (int shift = 28; shift >= 0; shift -= 4) label += char('a' + ((address >> shift) & 0xF));
                append_random_letters(label, 4);
                return label;
            }
        }
    } catch (...) {
        // "myip" stays when only the conversion failed; random letters follow.
    }
    append_random_letters(label, 7);
    return label;
}

// scanf's "%lld" on the text: leading blanks, an optional sign, at least one
// digit; what follows the digits is not looked at. Out of range saturates.
bool scan_lld(std::string const& text, long long& value) {
    char const* begin = text.c_str();
    char* end = nullptr;
    long long v = std::strtoll(begin, &end, 10);
    if (end == begin) return false;
    value = v;
    return true;
}

bool holds_key_separator(std::string const& name) {
    return name.find_first_of("/\\") != std::string::npos;
}

} // namespace

std::string boost_transport_tgt(std::string target) {
    size_t star = target.find('*');
    if (star == std::string::npos) return target;
    std::string rest = target.substr(star + 1);
    size_t dot = rest.find('.');
    return dot == std::string::npos ? rest : rest.substr(dot);
}

void save_my_ip(std::string target, std::string address) {
    xstd::set_config_string_ex(xstd::storage_user, public_ip_key + boost_transport_tgt(target), address,
                               xstd::storage_disk);
}

std::string my_saved_ip(std::string target) {
    return xstd::get_config_string_ex(xstd::storage_user, public_ip_key + boost_transport_tgt(target));
}

std::string expand_star(std::string pattern, std::string configured) {
    std::string out;
    for (char c : pattern) {
        if (c == '*')
            out += made_up_label(configured);
        else
            out += c;
    }
    return out;
}

std::string get_server_from_serverfield(std::string field) {
    std::vector<std::string> tokens;
    get_tokens(&tokens, field, " ");
    if (tokens.size() >= 3) return tokens[2];
    if (tokens.size() == 2) return tokens[1];
    return "";
}

std::string get_server_from_serverfield(xstd::http const& message) {
    return get_server_from_serverfield(message.get_field("Server"));
}

bool set_target(std::string& target, std::string configured, std::string server) {
    fmt_dbg log(log_prefix);
    if (starts_with(configured, "geo*.") && is_ip(server)) {
        std::string dashed = server;
        replace_all(dashed, ".", "-");
        target = "tovan-" + dashed + ".randip" + configured.substr(4);
        log.fmt_verbose("destination address was set to [%1%] (DNS load balancer mode)", target);
        return true;
    }
    std::string expanded = expand_star(server, configured);
    if (expanded == target) return false;
    target = expanded;
    log.fmt_verbose("destination address was set to [%1%]", target);
    return true;
}

bool set_target_serverfield(std::string& target, std::string configured, std::string field) {
    std::string server = get_server_from_serverfield(field);
    if (server.empty()) return false;
    return set_target(target, configured, server);
}

bool set_target(std::string& target, std::string configured, xstd::http const& reply) {
    return set_target_serverfield(target, configured, reply.get_field("Server"));
}

bool parse_additional(long long& age, std::string& server, std::string& text) {
    size_t colon = text.find(':');
    size_t slash = text.find('/');
    if (colon == std::string::npos || slash == std::string::npos || colon > slash) return false;
    long long value = 0;
    if (!scan_lld(text.substr(0, colon), value)) return false;
    age = value;
    server = text.substr(colon + 1, slash - colon - 1);
    text = text.substr(slash + 1);
    return true;
}

void save_additional(std::string target, std::string& additional) {
    long long age = 0;
    std::string server;
    if (!parse_additional(age, server, additional) || target.empty() || server.empty()) return;
    fmt_dbg log(log_prefix);
    if (holds_key_separator(target) || holds_key_separator(server)) {
        log.fmt_verbose("not keeping additional for [%1%] from server [%2%]: a name holds '/' or '\\'",
                        target, server);
        return;
    }
    // Read, compare and write as one step: of two choosers saving one entry
    // at once, the older would otherwise overwrite the newer.
    std::lock_guard<std::mutex> lock(additional_mutex);
    QSettings settings(QStringLiteral("Sepra"), QStringLiteral("AutoTransport additional servers"));
    QString key = q(target + "__" + server);
    std::string saved = bytes(settings.value(key).toString());
    long long saved_age = 0;
    std::string saved_server;
    if (parse_additional(saved_age, saved_server, saved) && saved_age > age) {
        log.fmt_verbose("saved additional is newer: [%1%:%2%/%3%], my age = %4%", saved_age, saved_server,
                        saved, age);
        additional = saved;
        return;
    }
    std::string value = std::to_string(age) + ":" + server + "/" + additional;
    log.fmt_verbose("saving additional [%1%]", value);
    settings.setValue(key, q(value));
    settings.sync();
}

} // namespace rulo
