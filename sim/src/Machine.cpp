#include "Machine.h"

#include <stdexcept>

namespace qosim {

Machine::Machine(Paths paths) : publications_(paths), boards_(paths, publications_) {}

void Machine::initPublications(const std::map<std::string, std::int32_t>& machineFaults,
                               const std::vector<ModuleFile>& moduleFiles) {
  publications_.init(machineFaults, moduleFiles);
}

void Machine::plug(const BoardSpec& board) { boards_.plug(board); }

void Machine::unplug(const std::string& device) {
  subscriptions_.nodesGone(boards_.unplug(device));
}

std::uint64_t Machine::openFile(std::uint64_t ino) {
  return subscriptions_.openFile(ino, boards_.deviceOfNode(ino));
}

void Machine::closeFile(std::uint64_t file) {
  if (auto device = subscriptions_.closeFile(file))
    boards_.withBoard(*device, [file](BoardState& b) { b.routing.fileClosed(file); });
}

void Machine::dropOpenFiles() {
  for (std::uint64_t file : subscriptions_.openFiles()) closeFile(file);
}

bool Machine::subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port,
                        std::uint32_t kind, std::uint64_t file) {
  // Under the registry's lock: an unplug cannot come between the check and the registration.
  return boards_.withNode(ino, [&](const Node& node) {
    subscriptions_.subscribe(ino, node.name, cookie, port, kind, file);
  });
}

bool Machine::unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file) {
  return boards_.withNode(ino, [&](const Node&) { subscriptions_.unsubscribe(ino, kind, file); });
}

std::optional<Subscriptions::CookiePort> Machine::subscriptionOf(const std::string& node,
                                                                 std::optional<std::uint32_t> kind,
                                                                 std::string& error) const {
  const auto n = boards_.nodeByName(node);
  if (!n) {
    error = "no node " + node;
    return std::nullopt;
  }
  return subscriptions_.of(n->ino, node, kind, error);
}

std::vector<Notice> Machine::demote(const std::string& device, std::optional<std::int32_t> ticket) {
  std::optional<std::vector<Demotion>> demoted;
  const bool plugged = boards_.withBoard(device, [&](BoardState& b) {
    if (!b.routing.bind(b.description.model.topographyName))
      throw std::runtime_error("device " + device + ": topography \"" +
                               b.description.model.topographyName +
                               "\" is not one of the generated topographies");
    demoted = b.routing.demote(ticket);
  });
  if (!plugged) throw std::runtime_error("device " + device + " is not plugged");
  if (!demoted)
    throw std::runtime_error("device " + device + ": no route has ticket " +
                             std::to_string(*ticket));
  if (!ticket) {
    // Every session subscribed on the device's routing nodes, with or without routes.
    for (std::uint64_t file : subscriptions_.subscribedFiles(device)) {
      bool listed = false;
      for (const Demotion& d : *demoted) listed = listed || d.file == file;
      if (!listed) demoted->push_back({0, 0, file});
    }
  }
  return subscriptions_.demotionNotices(*demoted);
}

}  // namespace qosim
