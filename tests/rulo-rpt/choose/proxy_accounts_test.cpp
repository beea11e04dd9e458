// The chooser's proxy account providers: a stored account is offered once,
// only on a first request, then the person's prompt is asked; the prompt's
// C callback fills the account or refuses.
#include "rulo-rpt/choose/proxy_accounts.h"

#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test_support::thrown;

// The person at the prompt: records each question, answers from a script.
struct prompt {
    struct question {
        bool retry;
        std::string realm;
    };
    std::vector<question> asked;
    std::vector<int> answers; // one per question: non-zero gives "person<n>"
};

int prompt_callback(void* context, bool retry, char const* realm,
                    rulo::autotransport_http_password::setter set_user, void* user,
                    rulo::autotransport_http_password::setter set_password, void* password) {
    prompt& p = *static_cast<prompt*>(context);
    p.asked.push_back({retry, realm});
    int answer = p.asked.size() <= p.answers.size() ? p.answers[p.asked.size() - 1] : 0;
    if (answer) {
        set_user(user, ("person" + std::to_string(p.asked.size())).c_str());
        set_password(password, "secret");
    }
    return answer;
}

TEST(ProxyAccounts, StoredAccountOnceThenThePrompt) {
    struct request {
        bool retry;
        std::string user; // handed out, or "refused"
    };
    struct row {
        char const* name;
        std::string stored_user;
        std::vector<int> answers;
        std::vector<request> requests;
        size_t asked; // questions that reached the prompt
    } const rows[] = {
        {"stored first, then the prompt",
         "forced",
         {1, 1},
         {{false, "forced"}, {true, "person1"}, {false, "person2"}},
         2},
        {"a retry first skips the stored account for good",
         "forced",
         {1, 1},
         {{true, "person1"}, {false, "person2"}},
         2},
        {"no stored account", "", {1}, {{false, "person1"}}, 1},
        {"the person refuses", "forced", {0}, {{false, "forced"}, {true, "refused"}}, 1},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.name);
        prompt person{{}, r.answers};
        rulo::object<rulo::httpt_password> next(
            new rulo::autotransport_http_password(prompt_callback, &person));
        rulo::cached_pwd cached(r.stored_user, "stored-secret", next);
        for (request const& q : r.requests) {
            std::string user, password;
            std::string error =
                thrown([&] { cached.httpt_password_event(q.retry, "proxy.lan:3128", user, password); });
            if (q.user == "refused") {
                EXPECT_EQ(error, ":Error in 'httpt_password_event'");
                continue;
            }
            EXPECT_EQ(error, "");
            EXPECT_EQ(user, q.user);
            EXPECT_EQ(password, q.user == "forced" ? "stored-secret" : "secret");
        }
        ASSERT_EQ(person.asked.size(), r.asked);
        for (prompt::question const& q : person.asked) EXPECT_EQ(q.realm, "proxy.lan:3128");
    }
}

TEST(ProxyAccounts, NothingToAsk) {
    std::string user, password;
    rulo::autotransport_http_password no_callback(nullptr, nullptr);
    EXPECT_EQ(thrown([&] { no_callback.httpt_password_event(false, "p", user, password); }),
              ":Error in 'httpt_password_event'");
    // A stored account still goes out once without a prompt behind it; then
    // the empty handle refuses.
    rulo::cached_pwd cached("forced", "pw", rulo::object<rulo::httpt_password>());
    cached.httpt_password_event(false, "p", user, password);
    EXPECT_EQ(user, "forced");
    EXPECT_EQ(thrown([&] { cached.httpt_password_event(false, "p", user, password); }), ":Error in 'get'");
}

} // namespace
