// `tarnix account add|list|remove`: the accounts the desktop application would create.
// Secrets come from files or standard input, never from the command line (where every user
// can read them in the process list), and are never printed.

#include <CLI/CLI.hpp>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "common/ItemLocks.hpp"
#include "host/Commands.hpp"
#include "host/commands/AccountStore.hpp"
#include "host/commands/CloudUser.hpp"
#include "host/commands/Commands.hpp"

namespace tarnix::host {
namespace {

struct AccountAddOptions {
  std::string domain;
  std::string userName;
  std::string email;
  std::string workgroup;
  std::int64_t userIdentifier = 0;
  std::string passwordFile;
  std::string accessTokenFile;
  std::string refreshTokenFile;
  std::string configurationFile;
};

// How long adding an account waits for the cloud to say whom the credentials belong to.
constexpr auto kSignInTimeout = std::chrono::seconds(5);

void fail(const std::string& message) {
  std::cerr << "tarnix: " << message << "\n";
  setCommandExitStatus(1);
}

/// The whole file ("-": standard input) without its final line breaks; none when it cannot be
/// read.
std::optional<std::string> readSecret(const std::string& path) {
  std::ostringstream out;
  if (path == "-") {
    out << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    out << in.rdbuf();
  }
  std::string text = out.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<common::AccountAuthentication> authenticationFrom(const AccountAddOptions& o) {
  const bool basic = !o.passwordFile.empty();
  const bool oauth = !o.accessTokenFile.empty() || !o.refreshTokenFile.empty();
  if (basic == oauth) {
    fail(
        "give either --password-file or --access-token-file (with --refresh-token-file when "
        "there is one); \"-\" reads standard input");
    return std::nullopt;
  }
  if (basic) {
    auto password = readSecret(o.passwordFile);
    if (!password || password->empty()) {
      fail("could not read a password from " + o.passwordFile);
      return std::nullopt;
    }
    return common::AccountAuthentication::basic(std::move(*password));
  }
  if (o.accessTokenFile.empty()) {
    fail("--refresh-token-file needs --access-token-file");
    return std::nullopt;
  }
  if (o.accessTokenFile == "-" && o.refreshTokenFile == "-") {
    fail("only one secret can be read from standard input");
    return std::nullopt;
  }
  auto access = readSecret(o.accessTokenFile);
  if (!access || access->empty()) {
    fail("could not read an access token from " + o.accessTokenFile);
    return std::nullopt;
  }
  std::optional<std::string> refresh = std::string();
  if (!o.refreshTokenFile.empty()) refresh = readSecret(o.refreshTokenFile);
  if (!refresh) {
    fail("could not read a refresh token from " + o.refreshTokenFile);
    return std::nullopt;
  }
  return common::AccountAuthentication::oauth(std::move(*access), std::move(*refresh));
}

// Asks the cloud whom the credentials belong to, as signing in does. Credentials the cloud
// refuses are an error and no account is added. When it cannot tell (off line, say) the account
// is added all the same; its drives ask again when they are used.
bool learnUser(const AccountStore& store, NewAccount& account) {
  common::Drive signingIn;
  signingIn.domain = normalizedDomain(account.domain).value_or(account.domain);
  signingIn.userName = account.userName;
  signingIn.authentication = account.authentication;
  auto user = askCurrentUser(*store.group(), signingIn, kSignInTimeout);
  if (!user && user.error().credentialsRefused) {
    fail(user.error().message + "; the account was not added");
    return false;
  }
  if (!user) return true;
  account.userIdentifier = user->id;
  account.userFirstName = user->firstName;
  account.userLastName = user->lastName;
  if (account.email.empty()) account.email = user->email;
  return true;
}

void runAdd(const AccountAddOptions& o) {
  // Arguments are checked before any secret is read from standard input.
  if (auto domain = normalizedDomain(o.domain); !domain) return fail(domain.error().message);
  auto authentication = authenticationFrom(o);
  if (!authentication) return;
  std::optional<std::string> configuration;
  if (!o.configurationFile.empty()) {
    std::ifstream in(o.configurationFile, std::ios::binary);
    if (!in) return fail("cannot read the cloud configuration " + o.configurationFile);
    std::ostringstream out;
    out << in.rdbuf();
    configuration = out.str();
  }
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  NewAccount account;
  account.domain = o.domain;
  account.userName = o.userName;
  account.email = o.email;
  account.workgroupIdentifier = o.workgroup;
  account.userIdentifier = o.userIdentifier;
  account.authentication = std::move(*authentication);
  account.cloudConfiguration = std::move(configuration);
  if (account.userIdentifier == common::CloudLockInfo::kUnknownUser &&
      !learnUser(*store, account)) {
    return;
  }
  auto identifier = store->addAccount(account);
  if (!identifier) return fail(identifier.error().message);
  std::cout << *identifier << "\n";
}

void runList() {
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  auto accounts = store->accounts();
  if (!accounts) return fail(accounts.error().message);
  std::cout << "ACCOUNT\tDOMAIN\tUSER\tUSER ID\tWORKGROUP\tCREDENTIALS\tSTATE\n";
  for (const auto& a : *accounts) {
    std::cout << a.identifier << "\t" << a.domain << "\t" << a.userName << "\t" << a.userIdentifier
              << "\t" << a.workgroupIdentifier << "\t" << a.authenticationKind << "\t"
              << (a.requiresReauthentication ? "needs sign-in" : "ok") << "\n";
  }
}

void runRemove(const std::string& identifier) {
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  if (auto removed = store->removeAccount(identifier); !removed) {
    return fail(removed.error().message);
  }
  std::cout << "Removed account " << identifier << "\n";
}

}  // namespace

void addAccountCommands(CLI::App& app) {
  auto* account = app.add_subcommand("account", "Add, list and remove cloud accounts");
  account->require_subcommand(1);

  auto options = std::make_shared<AccountAddOptions>();
  auto* add = account->add_subcommand(
      "add", "Add an account and print its identifier; the container is $TARNIX_HOME");
  add->add_option("--domain", options->domain, "The cloud host: host[:port] or https://host[:port]")
      ->required();
  add->add_option("--user", options->userName, "The user name")->required();
  add->add_option("--email", options->email, "The user's e-mail address");
  add->add_option("--user-id", options->userIdentifier,
                  "The user's numeric identifier (asked of the cloud when not given)");
  add->add_option("--workgroup", options->workgroup, "The workgroup identifier");
  add->add_option("--password-file", options->passwordFile,
                  "Sign in with the password in this file (\"-\": standard input)");
  add->add_option("--access-token-file", options->accessTokenFile,
                  "Sign in with the OAuth access token in this file (\"-\": standard input)");
  add->add_option("--refresh-token-file", options->refreshTokenFile,
                  "The OAuth refresh token in this file");
  add->add_option("--configuration", options->configurationFile,
                  "The cloud configuration document (JSON); a built-in default otherwise");
  add->callback([options] { runAdd(*options); });

  account->add_subcommand("list", "List the accounts (never their credentials)")->callback(runList);

  auto identifier = std::make_shared<std::string>();
  auto* remove =
      account->add_subcommand("remove", "Remove an account with its drives and credentials");
  remove->add_option("account", *identifier, "The account identifier")->required();
  remove->callback([identifier] { runRemove(*identifier); });
}

}  // namespace tarnix::host
