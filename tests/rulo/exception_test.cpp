// The exception's text forms and the named error texts.
#include "rulo/exception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(Exception, FactoryFormsBuildTheirTexts) {
    errno = 2;
    std::string enoent = strerror(2);
    struct row {
        rulo::exception e;
        std::string text;
    };
    row const table[] = {
        {rulo::exception(), ":"},
        {rulo::exception::function("lock"), ":Error in 'lock'"},
        {rulo::exception::system_error("connect_to", "connect"),
         ":Error 2 from 'connect' (called in 'connect_to'): " + enoent},
        {rulo::exception::fileline("c:\\src\\rulo/net\\x/socket.cpp", 866, "received"),
         ":Error in socket.cpp:866:received"},
        {rulo::exception(rulo::packet_parse_e), "error parsing packet"},
        {rulo::exception(rulo::packet_number_too_big_e), "number too big to be stored in native variable"},
        {rulo::exception(rulo::connect_timeout_e), "Connect attempt timed out"},
        {rulo::exception(rulo::receive_timeout_e), "Receive timed out"},
        {rulo::exception(rulo::find_transport_e), "Could not find any working transport"},
        {rulo::exception(rulo::httpt_connect_e), "HTTP tunnel connection failed"},
        {rulo::exception(get_procid_e), "Error parsing <address:ports...> parameter"},
        {rulo::exception(plugin_e), "error during plugin initialization"},
    };
    for (auto const& r : table) {
        EXPECT_EQ(r.e.description(), r.text);
        EXPECT_EQ(r.e.full(), r.text);
        EXPECT_STREQ(r.e.what(), r.text.c_str());
    }
    EXPECT_EQ(rulo::safe_strerror(2), enoent);
    EXPECT_NO_THROW(rulo::safe_strerror(-12345));
}

TEST(Exception, DetailIsFoldedOnceAndSurvivesCopies) {
    rulo::exception e = rulo::exception::function("send");
    e.stream() << " detail " << 42;
    rulo::exception copy(e);
    EXPECT_EQ(copy.description(), ":Error in 'send' detail 42");
    // A later stream starts afresh and is appended at the next read.
    e.stream() << "!";
    EXPECT_EQ(e.description(), ":Error in 'send' detail 42!");

    rulo::exception assigned("x");
    assigned = e;
    assigned = assigned;
    EXPECT_EQ(assigned.description(), ":Error in 'send' detail 42!");
}

TEST(ExceptionWrap, ThrowsPathAndExpandedMessage) {
    struct row {
        std::string path, message, text;
    };
    row const table[] = {
        {"/xstd/base64/decode", "Decode error", "/xstd/base64/decode:Decode error"},
        // No arguments are ever stored: placeholders expand to nothing, "$$" to "$",
        // and an unclosed "$" is dropped.
        {"/p", "cost $$5 for $1$ items", "/p:cost $5 for  items"},
        {"/p", "tail $1", "/p:tail 1"},
    };
    for (auto const& r : table) {
        try {
            XSTD_EXCEPTION("decode_base64").thr(r.path, r.message);
            FAIL() << "thr must throw";
        } catch (rulo::exception const& e) {
            EXPECT_EQ(e.description(), r.text);
        }
    }
    xstd::format f("a$1$b$2$c"); // a format given its arguments uses them
    f.args[2] = "X";
    EXPECT_EQ(f.get(), "abXc");
}

} // namespace
