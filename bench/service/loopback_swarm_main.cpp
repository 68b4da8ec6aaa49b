// The tests' loopback swarm as a program, for the benchmark scripts: starts it, prints what it
// is made of, one item a line, and runs until SIGTERM or SIGINT.
//   loopback_swarm DIR [EXTRA-TORRENTS]
//   bootstrap localhost:P,localhost:P,localhost:P
//   tracker http://127.0.0.1:P/announce
//   torrent NAME V1-HASH [V2-HASH]        (one line per torrent; extra ones are named
//   swarm-extra-N) ready
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "support/loopback_swarm.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: loopback_swarm DIR [EXTRA-TORRENTS]\n";
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts

  pellucor::testing::LoopbackSwarm::Options options;
  options.extraTorrents = argc > 2 ? std::atoi(argv[2]) : 0;
  std::string error;
  auto swarm = pellucor::testing::LoopbackSwarm::Start(argv[1], options, &error);
  if (!swarm) {
    std::cerr << "loopback_swarm: " << error << "\n";
    return 1;
  }
  std::string nodes;
  for (const std::string& node : swarm->BootstrapNodes())
    nodes += (nodes.empty() ? "" : ",") + node;
  std::cout << "bootstrap " << nodes << "\ntracker " << swarm->TrackerUrl() << "\n";
  auto print = [](const pellucor::testing::LoopbackSwarm::Torrent& t) {
    std::cout << "torrent " << t.name << " " << t.v1 << (t.v2.empty() ? "" : " " + t.v2) << "\n";
  };
  for (const auto* t :
       {&swarm->V1(), &swarm->Hybrid(), &swarm->V2Only(), &swarm->Spare(), &swarm->TrackerOnly()})
    print(*t);
  for (const auto& t : swarm->Extra()) print(t);
  std::cout << "ready" << std::endl;
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
