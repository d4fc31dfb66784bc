// tarnix-cloud-emulator: a local cloud for tests, demos and development.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "emulator/Emulator.hpp"

int main(int argc, char** argv) {
  CLI::App app{"tarnix-cloud-emulator: the cloud REST API and event socket over HTTPS on loopback"};
  tarnix::emulator::EmulatorOptions options;
  std::string data = "emulator-data";
  std::string seed, faults;
  app.add_option("--data", data, "data folder (state, content, certificates)");
  app.add_option("--port", options.port, "port to listen on; 0 picks a free one");
  app.add_option("--address", options.address, "address to bind");
  app.add_option("--seed", seed, "seed content: demo or scale:N");
  app.add_option("--faults", faults, "JSON file of fault rules");
  app.footer(
      "Admin endpoints (loopback only, header \"X-Admin-Token: <admin token>\"):\n"
      "  GET|POST|DELETE /__admin/faults    fault rules: list, add (JSON rule), clear; a rule\n"
      "      {\"path\": REGEX, \"method\": M, \"action\": status|delay|drop|truncate|reset|\n"
      "       malformed|ignoreRange|headers|commitDrop, \"status\": N, \"count\": N (-1: always),\n"
      "       \"skip\": N (let the first N matches through), \"matchHeaders\": {NAME: VALUE}}.\n"
      "      commitDrop: the request takes effect, then the connection closes unanswered\n"
      "  GET|POST|DELETE /__admin/uploads   upload rejections: read, set, reset; body any of\n"
      "      {\"maxFileSize\": BYTES|null (413), \"excludedExtensions\": [EXT] (400),\n"
      "       \"quotaBytes\": BYTES|null (507 above that much stored content)}\n"
      "  GET|DELETE /__admin/requests       the log of received requests: read, clear\n"
      "  POST /__admin/permissions          a user's level on an item from now on; body\n"
      "      {\"user\": NAME or \"user_id\": ID, \"id\": ITEM and/or \"path\": PATH,\n"
      "       \"permission\": none|nav|viewer|editor|full|owner}\n"
      "  GET|POST|DELETE /__admin/events    event feed and socket switches: read, set, reset;\n"
      "      body any of {\"closeSockets\": true, \"push\": TEXT, \"refuseUpgrade\": STATUS|null,\n"
      "       \"answerPings\": BOOL (new sockets), \"ifflCandidate\": BOOL|null,\n"
      "       \"expireThrough\": REVISION, \"malformedBatches\": N (-1: until reset)}.\n"
      "      get_events after a revision below the expired one answers 410 (EventsExpired)\n"
      "Folder deletion: DELETE /api/v1/fs/ids/folder/<id>?only_if_empty=true answers 409\n"
      "(code FolderNotEmpty) and keeps the folder when it has children.");
  CLI11_PARSE(app, argc, argv);
  // Whoever started us may stop reading our output; that must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
  options.dataDir = data;
  if (!seed.empty()) options.seed = seed;
  if (!faults.empty()) options.faults = faults;

  auto emulator = tarnix::emulator::Emulator::open(options);
  if (!emulator) {
    std::cerr << "tarnix-cloud-emulator: " << emulator.error() << std::endl;
    return 1;
  }
  std::cout << "CA certificate: " << (*emulator)->tls().caCertificate.string() << "\n"
            << "admin token: " << (*emulator)->adminToken() << "\n"
            << "listening on https://" << options.address << ":" << (*emulator)->port()
            << std::endl;
  (*emulator)->run(true);
  std::cout << "stopped" << std::endl;
  return 0;
}
