#pragma once
// The file-provider framework as the extension sees it, for hosts on this platform. Everything
// lives in tarnix::platform::fileprovider (Error and Progress included: they are the values the
// framework's calls carry). The extension implements ReplicatedExtension, Enumerator,
// ServiceSource and Item; the host implements Manager and the observers and drives the rest.
//
//   ItemIdentifier.hpp       identifiers and the root, working-set and trash containers
//   Item.hpp                 items, versions, capabilities, content policies, item fields
//   Error.hpp                errors, the framework's and Cocoa codes, log rendering
//   Progress.hpp             progress trees with cancellation
//   Domain.hpp               domains and domain versions
//   Manager.hpp              the manager of a domain
//   Enumerator.hpp           enumerators, observers, pages and sync anchors
//   ServiceSource.hpp        service sources and their endpoints
//   ReplicatedExtension.hpp  the extension's entry points and the factory the host starts

#include "platform/fileprovider/Domain.hpp"
#include "platform/fileprovider/Enumerator.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/Item.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"
#include "platform/fileprovider/Manager.hpp"
#include "platform/fileprovider/OptionSet.hpp"
#include "platform/fileprovider/Progress.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"
#include "platform/fileprovider/ServiceSource.hpp"
