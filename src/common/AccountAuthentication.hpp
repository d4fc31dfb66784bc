#pragma once
// An account's credentials: a basic password or OAuth tokens. Never log or print one.

#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace tarnix::common {

struct AccountAuthenticationError {
  std::string message;
};

struct AccountAuthentication {
  struct Basic {
    std::string password;
    bool operator==(const Basic&) const = default;
  };
  struct OAuth {
    std::string accessToken;
    std::string refreshToken;
    bool operator==(const OAuth&) const = default;
  };
  std::variant<Basic, OAuth> value;

  static AccountAuthentication basic(std::string password) { return {Basic{std::move(password)}}; }
  static AccountAuthentication oauth(std::string accessToken, std::string refreshToken) {
    return {OAuth{std::move(accessToken), std::move(refreshToken)}};
  }
  bool isBasic() const { return std::holds_alternative<Basic>(value); }
  bool operator==(const AccountAuthentication&) const = default;

  /// {"basic": {"password": …}} or {"oauth": {"accessToken": …, "refreshToken": …}}.
  std::string jsonText() const;
  /// Exactly one of those keys; any other number of keys fails with "Invalid number of keys
  /// found, expected one.". Error texts never quote the input.
  static std::expected<AccountAuthentication, AccountAuthenticationError> fromJSONText(
      std::string_view text);
};

/// What a request needs to authenticate: the credentials, and the user name for basic ones.
struct AuthenticationBundle {
  struct Basic {
    AccountAuthentication authentication;
    std::string userName;
  };
  struct OAuth {
    AccountAuthentication authentication;
  };
  std::variant<Basic, OAuth> value;
};

}  // namespace tarnix::common
