#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "base/HTTPHeaderName.hpp"
#include "base/HTTPRetryAfter.hpp"
#include "base/HTTPStatusCode.hpp"
#include "base/URLRequestForm.hpp"

using namespace tarnix::base;
using namespace std::chrono_literals;

TEST(HTTPRetryAfterTests, ParsesSecondsAndTheThreeDateForms) {
  const Date now = *parseHTTPDate("Sun, 06 Nov 1994 08:49:00 GMT");
  struct Case {
    const char* header;
    std::optional<double> delay;  // none: does not parse
  };
  const Case cases[] = {
      {"120", 120},
      {"0", 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 37},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 37},
      {"Sun Nov  6 08:49:37 1994", 37},
      {"Sun, 06 Nov 1994 08:40:00 GMT", 0},  // a past date does not wait
      {"", std::nullopt},
      {"-5", std::nullopt},
      {"1.5", std::nullopt},
      {" 120", std::nullopt},
      {"soon", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 PST", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    auto retryAfter = HTTPRetryAfter::parse(c.header);
    ASSERT_EQ(retryAfter.has_value(), c.delay.has_value());
    if (retryAfter) {
      EXPECT_DOUBLE_EQ(retryAfter->timeInterval(now), *c.delay);
    }
  }
  EXPECT_EQ(HTTPRetryAfter::parse("120")->description(), "120");
  EXPECT_EQ(HTTPRetryAfter::parse("Sun, 06 Nov 1994 08:49:37 GMT")->description(),
            "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(URLRequestFormTests, EncodesFieldsInOrder) {
  URLRequestForm form{{{"user name", "a&b=c"}, {"path", "/Ünï/ä+b*c-d._e~"}, {"empty", ""}}};
  EXPECT_EQ(form.encoded().value_or("<failed>"),
            "user+name=a%26b%3Dc&path=%2F%C3%9Cn%C3%AF%2F%C3%A4%2Bb*c-d._e%7E&empty=");
  EXPECT_EQ(URLRequestForm{}.encoded().value_or("<failed>"), "");

  URLRequestForm bad{{{"ok", "fine"}, {"name", std::string("\xff\xfe", 2)}}};
  auto result = bad.encoded();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), URLRequestFormError::badField("name", std::string("\xff\xfe", 2)));
}

TEST(HTTPVocabularyTests, HeaderNamesIgnoreCaseAndStatusCodesHaveCategories) {
  std::map<HTTPHeaderName, std::string> headers{{HTTPHeaderName::eTag, "\"v1\""}};
  EXPECT_EQ(headers.count("etag"), 1u);
  EXPECT_EQ(headers.count("ETAG"), 1u);
  EXPECT_EQ(headers.count("Date"), 0u);
  EXPECT_EQ(HTTPHeaderName::xTarnixRequestId, HTTPHeaderName("x-tarnix-request-id"));

  using Category = HTTPStatusCode::Category;
  EXPECT_EQ(HTTPStatusCode(101).category(), Category::informational);
  EXPECT_EQ(HTTPStatusCode::partialContent.category(), Category::success);
  EXPECT_EQ(HTTPStatusCode::notModified.category(), Category::redirection);
  EXPECT_EQ(HTTPStatusCode::tooManyRequests.category(), Category::clientError);
  EXPECT_EQ(HTTPStatusCode(599).category(), Category::serverError);
  EXPECT_EQ(HTTPStatusCode(600).category(), std::nullopt);
  EXPECT_EQ(HTTPStatusCode(99).category(), std::nullopt);
}
