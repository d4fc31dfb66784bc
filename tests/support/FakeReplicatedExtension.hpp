#pragma once
// An in-memory extension for host tests: a tree of items, enumerators that answer page by page
// and report changes since a rank anchor, contents written to the manager's temporary folder,
// and counters of the calls the host made. Header-only so that test binaries of any module that
// may see the framework types can use it.
//
// Thread-safe: one mutex guards the tree; observers and completions are called without it.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::testing {

namespace fp = platform::fileprovider;

class FakeReplicatedExtension final : public fp::ReplicatedExtension,
                                      public std::enable_shared_from_this<FakeReplicatedExtension> {
 public:
  static constexpr auto kReadable =
      fp::ItemCapabilities::allowsReading | fp::ItemCapabilities::allowsEvicting;
  /// What the user may do with an item of their own (and what new folders get).
  static constexpr auto kEditable =
      kReadable | fp::ItemCapabilities::allowsWriting | fp::ItemCapabilities::allowsRenaming |
      fp::ItemCapabilities::allowsReparenting | fp::ItemCapabilities::allowsDeleting;

  struct Counters {
    std::atomic<int> item{0};
    std::atomic<int> fetchContents{0};
    std::atomic<int> fetchPartialContents{0};
    std::atomic<int> enumerateItems{0};
    std::atomic<int> enumerateChanges{0};
    std::atomic<int> enumeratorsMade{0};
    std::atomic<int> enumeratorsInvalidated{0};
    std::atomic<int> invalidated{0};
  };

  FakeReplicatedExtension() {
    fp::ItemProperties root;
    root.itemIdentifier = fp::ItemIdentifier::rootContainer();
    root.parentItemIdentifier = fp::ItemIdentifier::rootContainer();
    root.contentType = std::string(fp::kContentTypeFolder);
    root.capabilities = kReadable;
    nodes_[root.itemIdentifier.rawValue()] = Node{root, {}};
  }

  /// A fetch the host asked for: of the whole file, or of `range` (at least) of `version`.
  struct FetchCall {
    std::string identifier;
    std::optional<fp::ByteRange> range;
  };
  /// Gives the answer of a fetch: none for the contents, or the error to fail with. Safe to call
  /// from any thread, once.
  using Answer = std::function<void(std::optional<fp::Error>)>;
  /// Decides when and how each fetch answers; runs on the calling thread, may block, and may keep
  /// `answer` to give it later (the fetch is then asynchronous). Without one, fetches answer at
  /// once with the contents.
  using FetchHook = std::function<void(const FetchCall&, Answer answer)>;
  /// Changes what a whole fetch hands over (bytes and item), as a faulty download would.
  using DeliveryFilter = std::function<void(std::string& bytes, fp::ItemProperties& item)>;

  /// Where a delivered range starts in the file handed over; without one, at its own place in
  /// a file as long as the contents. Other bytes fill the file before it.
  using RangeOffset = std::function<std::int64_t(fp::ByteRange delivered)>;

  /// A creation, modification or deletion the host asked for.
  struct ChangeCall {
    enum class Kind { create, modify, remove };
    Kind kind = Kind::create;
    /// The item (for a creation, the template's identifier).
    std::string identifier;
    /// What the template said (creation, modification).
    std::string parent;
    std::string filename;
    fp::ItemFields fields = fp::ItemFields::none;
    fp::DeleteItemOptions deleteOptions = fp::DeleteItemOptions::none;
    fp::ItemVersion baseVersion;
  };
  /// Decides each change before it is made: an error fails it and changes nothing, none lets it
  /// happen. Runs on the calling thread and may block.
  using ChangeHook = std::function<std::optional<fp::Error>(const ChangeCall&)>;
  void setChangeHook(ChangeHook hook) {
    std::lock_guard lock(mutex_);
    changeHook_ = std::move(hook);
  }
  /// Every change asked for, in order.
  std::vector<ChangeCall> changeCalls() {
    std::lock_guard lock(mutex_);
    return changeCalls_;
  }
  /// Changes what the user may do with an item; without `announce` the host is not told.
  void setCapabilities(const std::string& id, fp::ItemCapabilities caps, bool announce = true) {
    std::lock_guard lock(mutex_);
    auto& node = nodes_.at(id);
    node.properties.capabilities = caps;
    node.properties.itemVersion.metadataVersion = "m" + std::to_string(++version_);
    if (announce) changes_.push_back({++rank_, id, false});
  }
  bool exists(const std::string& id) {
    std::lock_guard lock(mutex_);
    return nodes_.contains(id);
  }
  /// The identifier of the child of `parent` named `name`; empty when there is none.
  std::string childNamed(const std::string& parent, const std::string& name) {
    for (const auto& [childName, id] : childrenOf(parent))
      if (childName == name) return id;
    return {};
  }

  void setManager(fp::ManagerPtr manager) { manager_ = std::move(manager); }
  void setRangeOffset(RangeOffset offset) {
    std::lock_guard lock(mutex_);
    rangeOffset_ = std::move(offset);
  }
  void setFetchHook(FetchHook hook) {
    std::lock_guard lock(mutex_);
    fetchHook_ = std::move(hook);
  }
  void setDeliveryFilter(DeliveryFilter filter) {
    std::lock_guard lock(mutex_);
    deliveryFilter_ = std::move(filter);
  }
  Counters& counters() { return counters_; }

  std::string root() const { return std::string(fp::ItemIdentifier::kRootContainerRawValue); }

  void addFolder(const std::string& id, const std::string& parent, const std::string& name,
                 fp::ItemCapabilities caps = kReadable) {
    fp::ItemProperties p = base(id, parent, name, caps);
    p.contentType = std::string(fp::kContentTypeFolder);
    put(Node{p, {}});
  }

  void addFile(const std::string& id, const std::string& parent, const std::string& name,
               const std::string& contents, fp::ItemCapabilities caps = kReadable,
               base::JSONValue userInfo = base::JSONValue::object(),
               std::vector<std::string> decorations = {}) {
    fp::ItemProperties p = base(id, parent, name, caps);
    p.documentSize = static_cast<std::int64_t>(contents.size());
    p.userInfo = std::move(userInfo);
    p.decorations = std::move(decorations);
    put(Node{p, contents});
  }

  /// New contents: a new content version and a change.
  void updateFile(const std::string& id, const std::string& contents) {
    std::lock_guard lock(mutex_);
    auto& node = nodes_.at(id);
    node.contents = contents;
    node.properties.documentSize = static_cast<std::int64_t>(contents.size());
    node.properties.itemVersion.contentVersion = "c" + std::to_string(++version_);
    node.properties.itemVersion.metadataVersion = "m" + std::to_string(version_);
    history_[{id, node.properties.itemVersion.contentVersion}] = contents;
    changes_.push_back({++rank_, id, false});
  }

  void rename(const std::string& id, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& node = nodes_.at(id);
    node.properties.filename = name;
    node.properties.itemVersion.metadataVersion = "m" + std::to_string(++version_);
    changes_.push_back({++rank_, id, false});
  }

  void remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> pending{id};
    while (!pending.empty()) {
      const auto next = pending.back();
      pending.pop_back();
      for (const auto& [childId, child] : nodes_)
        if (child.properties.parentItemIdentifier.rawValue() == next && childId != next)
          pending.push_back(childId);
      nodes_.erase(next);
      changes_.push_back({++rank_, next, true});
    }
  }

  /// Enumerating the items of `container` fails with `error` from now on (none: works again).
  void failEnumeration(const std::string& container, std::optional<fp::Error> error) {
    std::lock_guard lock(mutex_);
    if (error)
      failures_.insert_or_assign(container, *error);
    else
      failures_.erase(container);
  }

  /// What the provider does when the cloud changed: signal the working set.
  void signal() {
    if (manager_) manager_->signalEnumerator(fp::ItemIdentifier::workingSet(), nullptr);
  }

  /// The ranges fetchPartialContents was asked for, in order.
  std::vector<fp::ByteRange> requestedRanges() {
    std::lock_guard lock(mutex_);
    return requestedRanges_;
  }

  std::string contents(const std::string& id) {
    std::lock_guard lock(mutex_);
    return nodes_.at(id).contents;
  }

  /// Children of `parent` by name.
  std::vector<std::pair<std::string, std::string>> childrenOf(const std::string& parent) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [id, node] : nodes_)
      if (node.properties.parentItemIdentifier.rawValue() == parent && id != parent)
        out.emplace_back(node.properties.filename, id);
    std::sort(out.begin(), out.end());
    return out;
  }
  bool isFolder(const std::string& id) {
    std::lock_guard lock(mutex_);
    return nodes_.at(id).properties.contentType == fp::kContentTypeFolder;
  }

  // fp::ReplicatedExtension
  void invalidate() override { counters_.invalidated++; }
  void importDidFinish(std::function<void()> completion) override { completion(); }

  fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request&,
                       ItemCompletion completion) override {
    counters_.item++;
    auto snapshot = find(identifier);
    if (!snapshot)
      completion(nullptr, fp::Error::forNonExistentItem(identifier));
    else
      completion(snapshot, std::nullopt);
    return fp::Progress::make(1);
  }

  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                const std::optional<fp::ItemVersion>&, const fp::Request&,
                                FetchContentsCompletion completion) override {
    counters_.fetchContents++;
    auto answer = [self = shared_from_this(), identifier,
                   completion = std::move(completion)](std::optional<fp::Error> failure) {
      if (failure) return completion(std::nullopt, nullptr, *failure);
      auto readable = self->readableContents(identifier);
      if (!readable) return completion(std::nullopt, nullptr, readable.error());
      auto& [bytes, properties] = *readable;
      if (auto filter = self->deliveryFilter()) filter(bytes, properties);
      auto file = self->temporaryFile("dl-full");
      std::ofstream(file, std::ios::binary) << bytes;
      completion(file, fp::ItemSnapshot::make(properties), std::nullopt);
    };
    runFetch({identifier.rawValue(), std::nullopt}, std::move(answer));
    return fp::Progress::make(1);
  }

  fp::ProgressPtr fetchPartialContents(const fp::ItemIdentifier& identifier,
                                       const fp::ItemVersion& version, const fp::Request&,
                                       fp::ByteRange minimalRange, std::int64_t alignment,
                                       fp::FetchContentsOptions,
                                       FetchPartialContentsCompletion completion) override {
    counters_.fetchPartialContents++;
    {
      std::lock_guard lock(mutex_);
      requestedRanges_.push_back(minimalRange);
    }
    auto answer = [self = shared_from_this(), identifier, version, minimalRange, alignment,
                   completion = std::move(completion)](std::optional<fp::Error> failure) {
      if (failure)
        return completion(std::nullopt, nullptr, fp::DeliveredRange{},
                          fp::MaterializationFlags::none, *failure);
      self->answerRange(identifier, version, minimalRange, alignment, completion);
    };
    runFetch({identifier.rawValue(), minimalRange}, std::move(answer));
    return fp::Progress::make(1);
  }

  // Folders only: files need contents, which this fake does not take.
  fp::ProgressPtr createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>&, fp::CreateItemOptions,
                             const fp::Request&, ChangeItemCompletion completion) override {
    auto call = changeCall(ChangeCall::Kind::create, *itemTemplate, fields);
    if (auto refused = admit(call))
      return completion(nullptr, fp::ItemFields::none, false, *refused), fp::Progress::make(1);
    if (!itemTemplate->isFolder())
      return completion(nullptr, fp::ItemFields::none, false, fp::Error::unsupportedFeature()),
             fp::Progress::make(1);
    std::string id;
    {
      std::lock_guard lock(mutex_);
      if (auto refused = placementRefusedLocked("", call.parent, call.filename))
        return completion(nullptr, fp::ItemFields::none, false, *refused), fp::Progress::make(1);
      id = "new-" + std::to_string(++version_);
    }
    addFolder(id, call.parent, call.filename, kEditable);
    completion(find(fp::ItemIdentifier(id)), fp::ItemFields::none, false, std::nullopt);
    return fp::Progress::make(1);
  }
  // Renames and moves.
  fp::ProgressPtr modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                             fp::ItemFields fields, const std::optional<std::filesystem::path>&,
                             fp::ModifyItemOptions, const fp::Request&,
                             ChangeItemCompletion completion) override {
    auto call = changeCall(ChangeCall::Kind::modify, *item, fields);
    call.baseVersion = baseVersion;
    if (auto refused = admit(call))
      return completion(nullptr, fp::ItemFields::none, false, *refused), fp::Progress::make(1);
    {
      std::lock_guard lock(mutex_);
      auto it = nodes_.find(call.identifier);
      if (it == nodes_.end())
        return completion(nullptr, fp::ItemFields::none, false,
                          fp::Error::forNonExistentItem(item->itemIdentifier())),
               fp::Progress::make(1);
      auto& p = it->second.properties;
      const auto parent = fp::contains(fields, fp::ItemFields::parentItemIdentifier)
                              ? call.parent
                              : p.parentItemIdentifier.rawValue();
      const auto name = fp::contains(fields, fp::ItemFields::filename) ? call.filename : p.filename;
      if (auto refused = placementRefusedLocked(call.identifier, parent, name))
        return completion(nullptr, fp::ItemFields::none, false, *refused), fp::Progress::make(1);
      p.parentItemIdentifier = fp::ItemIdentifier(parent);
      p.filename = name;
      p.itemVersion.metadataVersion = "m" + std::to_string(++version_);
      changes_.push_back({++rank_, call.identifier, false});
    }
    completion(find(item->itemIdentifier()), fp::ItemFields::none, false, std::nullopt);
    return fp::Progress::make(1);
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier,
                             const fp::ItemVersion& baseVersion, fp::DeleteItemOptions options,
                             const fp::Request&, ErrorCompletion completion) override {
    ChangeCall call;
    call.kind = ChangeCall::Kind::remove;
    call.identifier = identifier.rawValue();
    call.deleteOptions = options;
    call.baseVersion = baseVersion;
    if (auto refused = admit(call)) return completion(*refused), fp::Progress::make(1);
    {
      std::lock_guard lock(mutex_);
      auto it = nodes_.find(call.identifier);
      if (it == nodes_.end())
        return completion(fp::Error::forNonExistentItem(identifier)), fp::Progress::make(1);
      if (!fp::contains(it->second.properties.capabilities, fp::ItemCapabilities::allowsDeleting))
        return completion(
                   fp::Error::forRejectedDeletion(fp::ItemSnapshot::make(it->second.properties))),
               fp::Progress::make(1);
      const bool hasChildren = std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& n) {
        return n.second.properties.parentItemIdentifier == identifier && n.first != call.identifier;
      });
      if (hasChildren && !fp::contains(options, fp::DeleteItemOptions::recursive))
        return completion(fp::Error(fp::FileProviderErrorCode::directoryNotEmpty)),
               fp::Progress::make(1);
    }
    remove(call.identifier);
    completion(std::nullopt);
    return fp::Progress::make(1);
  }

  std::expected<fp::EnumeratorPtr, fp::Error> enumerator(const fp::ItemIdentifier& container,
                                                         const fp::Request&) override {
    if (!container.isWorkingSet() && !find(container))
      return std::unexpected(fp::Error::forNonExistentItem(container));
    counters_.enumeratorsMade++;
    return std::make_shared<FakeEnumerator>(shared_from_this(), container);
  }

  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                  fp::ThumbnailSize, PerThumbnailCompletion perThumbnail,
                                  ErrorCompletion completion) override {
    for (const auto& id : identifiers) perThumbnail(id, std::nullopt, std::nullopt);
    completion(std::nullopt);
    return fp::Progress::make(1);
  }
  fp::ProgressPtr performAction(const fp::ActionIdentifier&, const std::vector<fp::ItemIdentifier>&,
                                ErrorCompletion completion) override {
    completion(fp::Error::unsupportedFeature());
    return fp::Progress::make(1);
  }
  fp::ProgressPtr supportedServiceSources(const fp::ItemIdentifier&,
                                          ServiceSourcesCompletion completion) override {
    completion({}, std::nullopt);
    return fp::Progress::make(1);
  }
  void setInteractionSuppressed(bool, const std::string&) override {}
  bool isInteractionSuppressed(const std::string&) override { return false; }
  fp::DomainVersion domainVersion() override { return {}; }
  base::JSONValue userInfo() override { return base::JSONValue::object(); }

 private:
  struct Node {
    fp::ItemProperties properties;
    std::string contents;
  };
  struct Change {
    std::int64_t rank;
    std::string id;
    bool deleted;
  };

  class FakeEnumerator final : public fp::Enumerator {
   public:
    FakeEnumerator(std::shared_ptr<FakeReplicatedExtension> owner, fp::ItemIdentifier container)
        : owner_(std::move(owner)), container_(std::move(container)) {}
    void invalidate() override { owner_->counters_.enumeratorsInvalidated++; }
    void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override {
      owner_->counters_.enumerateItems++;
      std::optional<fp::Error> failure;
      {
        std::lock_guard lock(owner_->mutex_);
        if (auto it = owner_->failures_.find(container_.rawValue()); it != owner_->failures_.end())
          failure = it->second;
      }
      if (failure) return observer->finishEnumeratingWithError(*failure);
      const auto size = observer->suggestedPageSize().value_or(100);
      std::size_t start = page.isInitial() ? 0 : std::stoul(page.rawValue);
      std::vector<fp::ItemPtr> items;
      std::size_t total = 0;
      {
        std::lock_guard lock(owner_->mutex_);
        std::vector<const Node*> children;
        for (const auto& [id, node] : owner_->nodes_)
          if (node.properties.parentItemIdentifier == container_ &&
              node.properties.itemIdentifier != container_)
            children.push_back(&node);
        total = children.size();
        for (std::size_t i = start; i < children.size() && items.size() < std::size_t(size); ++i)
          items.push_back(fp::ItemSnapshot::make(children[i]->properties));
      }
      const std::size_t next = start + items.size();
      observer->didEnumerateItems(std::move(items));
      if (next < total)
        observer->finishEnumeratingUpToPage(fp::Page{std::to_string(next)});
      else
        observer->finishEnumeratingUpToPage(std::nullopt);
    }
    void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override {
      owner_->counters_.enumerateChanges++;
      const std::int64_t from = std::stoll(anchor.rawValue.empty() ? "0" : anchor.rawValue);
      std::vector<fp::ItemPtr> updated;
      std::vector<fp::ItemIdentifier> deleted;
      std::int64_t last = from;
      bool more = false;
      {
        std::lock_guard lock(owner_->mutex_);
        for (const auto& change : owner_->changes_) {
          if (change.rank <= from) continue;
          if (updated.size() + deleted.size() >= 100) {
            more = true;
            break;
          }
          last = change.rank;
          auto it = owner_->nodes_.find(change.id);
          if (change.deleted || it == owner_->nodes_.end())
            deleted.emplace_back(change.id);
          else
            updated.push_back(fp::ItemSnapshot::make(it->second.properties));
        }
        if (!more) last = std::max(last, owner_->rank_);
      }
      observer->didUpdateItems(std::move(updated));
      observer->didDeleteItemsWithIdentifiers(std::move(deleted));
      observer->finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor{std::to_string(last)}, more);
    }
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override {
      std::int64_t rank;
      {
        std::lock_guard lock(owner_->mutex_);
        rank = owner_->rank_;
      }
      completion(fp::SyncAnchor{std::to_string(rank)});
    }

   private:
    std::shared_ptr<FakeReplicatedExtension> owner_;
    fp::ItemIdentifier container_;
  };

  fp::ItemProperties base(const std::string& id, const std::string& parent, const std::string& name,
                          fp::ItemCapabilities caps) {
    fp::ItemProperties p;
    p.itemIdentifier = fp::ItemIdentifier(id);
    p.parentItemIdentifier = fp::ItemIdentifier(parent);
    p.filename = name;
    p.capabilities = caps;
    p.contentModificationDate = base::dateFromMillisecondsSince1970(1700000000000);
    return p;
  }

  // The bytes of `version` (as they were then), where rangeOffset_ puts them.
  void answerRange(const fp::ItemIdentifier& identifier, const fp::ItemVersion& version,
                   fp::ByteRange minimalRange, std::int64_t alignment,
                   const FetchPartialContentsCompletion& completion) {
    auto readable = readableContents(identifier, version.contentVersion);
    if (!readable) {
      completion(std::nullopt, nullptr, {}, fp::MaterializationFlags::none, readable.error());
      return;
    }
    const auto& bytes = readable->first;
    const auto snapshot = fp::ItemSnapshot::make(readable->second);
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t a = std::max<std::int64_t>(alignment, 1);
    const std::int64_t begin = minimalRange.location / a * a;
    const std::int64_t end =
        std::min(size, (minimalRange.location + minimalRange.length + a - 1) / a * a);
    const fp::ByteRange delivered{begin, end - begin};
    RangeOffset rangeOffset;
    {
      std::lock_guard lock(mutex_);
      rangeOffset = rangeOffset_;
    }
    auto file = temporaryFile("dl-part");
    std::int64_t offset = begin;
    if (!rangeOffset) {
      // The range sits at its place in a file as long as the whole.
      {
        std::ofstream out(file, std::ios::binary);
        out.seekp(begin);
        out.write(bytes.data() + begin, end - begin);
      }
      std::filesystem::resize_file(file, static_cast<std::uintmax_t>(size));
    } else {
      offset = rangeOffset(delivered);
      std::ofstream out(file, std::ios::binary);
      out << std::string(static_cast<std::size_t>(offset), 'x');
      out.write(bytes.data() + begin, end - begin);
    }
    completion(file, snapshot, fp::DeliveredRange{delivered, offset},
               fp::MaterializationFlags::none, std::nullopt);
  }

  void put(Node node) {
    std::lock_guard lock(mutex_);
    node.properties.itemVersion.contentVersion = "c" + std::to_string(++version_);
    node.properties.itemVersion.metadataVersion = "m" + std::to_string(version_);
    const auto id = node.properties.itemIdentifier.rawValue();
    history_[{id, node.properties.itemVersion.contentVersion}] = node.contents;
    nodes_[id] = std::move(node);
    changes_.push_back({++rank_, id, false});
  }

  // The contents (of `contentVersion` when given, else the current ones) and the item of a file
  // the user may read.
  std::expected<std::pair<std::string, fp::ItemProperties>, fp::Error> readableContents(
      const fp::ItemIdentifier& identifier, std::optional<fp::Data> contentVersion = std::nullopt) {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(identifier.rawValue());
    if (it == nodes_.end()) return std::unexpected(fp::Error::forNonExistentItem(identifier));
    if (!fp::contains(it->second.properties.capabilities, fp::ItemCapabilities::allowsReading))
      return std::unexpected(fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
    if (contentVersion && *contentVersion != it->second.properties.itemVersion.contentVersion) {
      auto old = history_.find({identifier.rawValue(), *contentVersion});
      if (old == history_.end())
        return std::unexpected(fp::Error(fp::FileProviderErrorCode::versionNoLongerAvailable));
      return std::make_pair(old->second, it->second.properties);
    }
    return std::make_pair(it->second.contents, it->second.properties);
  }

  static ChangeCall changeCall(ChangeCall::Kind kind, const fp::Item& item, fp::ItemFields fields) {
    ChangeCall call;
    call.kind = kind;
    call.identifier = item.itemIdentifier().rawValue();
    call.parent = item.parentItemIdentifier().rawValue();
    call.filename = item.filename();
    call.fields = fields;
    return call;
  }

  // Records `call` and asks the hook about it.
  std::optional<fp::Error> admit(const ChangeCall& call) {
    ChangeHook hook;
    {
      std::lock_guard lock(mutex_);
      changeCalls_.push_back(call);
      hook = changeHook_;
    }
    return hook ? hook(call) : std::nullopt;
  }

  // Why `id` (empty: a new item) cannot be named `name` in `parent`.
  std::optional<fp::Error> placementRefusedLocked(const std::string& id, const std::string& parent,
                                                  const std::string& name) {
    auto folder = nodes_.find(parent);
    if (folder == nodes_.end() || folder->second.properties.contentType != fp::kContentTypeFolder)
      return fp::Error::forNonExistentItem(fp::ItemIdentifier(parent));
    for (const auto& [otherId, other] : nodes_)
      if (otherId != id && otherId != parent &&
          other.properties.parentItemIdentifier.rawValue() == parent &&
          other.properties.filename == name)
        return fp::Error::forCollision(fp::ItemSnapshot::make(other.properties));
    return std::nullopt;
  }

  DeliveryFilter deliveryFilter() {
    std::lock_guard lock(mutex_);
    return deliveryFilter_;
  }

  void runFetch(const FetchCall& call, Answer answer) {
    FetchHook hook;
    {
      std::lock_guard lock(mutex_);
      hook = fetchHook_;
    }
    if (hook)
      hook(call, std::move(answer));
    else
      answer(std::nullopt);
  }

  fp::ItemPtr find(const fp::ItemIdentifier& identifier) {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(identifier.rawValue());
    if (it == nodes_.end()) return nullptr;
    return fp::ItemSnapshot::make(it->second.properties);
  }

  std::filesystem::path temporaryFile(const std::string& prefix) {
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    if (manager_)
      if (auto url = manager_->temporaryDirectoryURL()) dir = *url;
    return dir / (prefix + "-" + std::to_string(++files_));
  }

  std::mutex mutex_;
  std::vector<fp::ByteRange> requestedRanges_;
  std::map<std::string, Node> nodes_;
  std::map<std::pair<std::string, fp::Data>, std::string> history_;  // every version's contents
  FetchHook fetchHook_;
  ChangeHook changeHook_;
  std::vector<ChangeCall> changeCalls_;
  DeliveryFilter deliveryFilter_;
  RangeOffset rangeOffset_;
  std::vector<Change> changes_;
  std::map<std::string, fp::Error> failures_;
  std::int64_t rank_ = 0;
  std::int64_t version_ = 0;
  std::atomic<int> files_{0};
  fp::ManagerPtr manager_;
  Counters counters_;
};

}  // namespace tarnix::testing
