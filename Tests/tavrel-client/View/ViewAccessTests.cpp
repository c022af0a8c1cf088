// Who may open a viewer: the token in every request target, and the WebSocket's origin.

#include <gtest/gtest.h>

#include <set>

#include "tavrel-client/View/ViewAccess.hpp"

namespace tavrel::client {
namespace {

TEST(ViewAccess, FindsTheTokenInTheQueryOnly) {
    const struct {
        std::string_view target;
        std::string_view token;
        std::string_view path;
    } cases[] = {
        {"/?token=abc", "abc", "/"},
        {"/viewer.js?token=abc", "abc", "/viewer.js"},
        {"/live?x=1&token=abc&y=2", "abc", "/live"},
        {"/live?x=1&token=abc#frag", "abc", "/live"},
        {"/?mytoken=abc", "", "/"},
        {"/?token=", "", "/"},
        {"/token=abc", "", "/token=abc"},
        {"/", "", "/"},
        {"", "", ""},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(ViewAccess::tokenOf(item.target), item.token) << item.target;
        EXPECT_EQ(ViewAccess::pathOf(item.target), item.path) << item.target;
    }
}

TEST(ViewAccess, AcceptsOnlyTheWholeToken) {
    const std::string token = ViewAccess::newToken();
    EXPECT_TRUE(ViewAccess::sameToken(token, token));
    EXPECT_FALSE(ViewAccess::sameToken(token.substr(1), token));
    EXPECT_FALSE(ViewAccess::sameToken(token + "0", token));
    std::string changed = token;
    changed.back() = changed.back() == 'a' ? 'b' : 'a';
    EXPECT_FALSE(ViewAccess::sameToken(changed, token));
    // A viewer without a token lets nobody in, not everybody.
    EXPECT_FALSE(ViewAccess::sameToken("", ""));
}

TEST(ViewAccess, MakesTokensOf128RandomBits) {
    std::set<std::string> seen;
    for (int round = 0; round < 64; ++round) {
        const auto token = ViewAccess::newToken();
        ASSERT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(ViewAccess, AcceptsASocketOnlyFromThePageOfItsHost) {
    const struct {
        std::string_view origin;
        std::string_view host;
        bool same;
    } cases[] = {
        {"http://127.0.0.1:8500", "127.0.0.1:8500", true},
        {"http://localhost:8500", "localhost:8500", true},
        {"http://[::1]:8500", "[::1]:8500", true},
        {"http://evil.example", "127.0.0.1:8500", false},
        {"http://127.0.0.1:8501", "127.0.0.1:8500", false},
        {"https://127.0.0.1:8500", "127.0.0.1:8500", false},
        {"http://127.0.0.1:8500.evil.example", "127.0.0.1:8500", false},
        {"null", "127.0.0.1:8500", false},
        {"", "127.0.0.1:8500", false},
        {"http://", "", false},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(ViewAccess::sameOrigin(item.origin, item.host), item.same)
            << item.origin << " at " << item.host;
    }
}

}  // namespace
}  // namespace tavrel::client
