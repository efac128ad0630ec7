// The registry: a small persistent store of keys holding named string and
// 32-bit values under three roots (local machine, current user, classes
// root). The server publishes its address here, reads its server root, keeps
// the identifier counter, and finds the browser command. Each root is one
// human-readable text file in the registry folder; key paths and value names
// are compared without regard to case. Every change rewrites the file by
// temporary file and rename while holding an advisory lock, so concurrent
// processes and threads never lose each other's updates. Safe to use from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/atomic_file.h"

namespace tallypad {

enum class RegistryRoot { kLocalMachine, kCurrentUser, kClassesRoot };

// Result codes of the registry operations.
inline constexpr int kRegistryOk = 0;
inline constexpr int kRegistryFailed = 1;      // the store could not be read, locked or written
inline constexpr int kRegistryNotFound = 2;    // no such key or value
inline constexpr int kRegistryHasSubkeys = 3;  // a key with subkeys cannot be deleted
inline constexpr int kRegistryNotEmpty = 4;    // the key still holds values
inline constexpr int kRegistryBadKey = 5;      // empty key path

// Longest wait for another process to release the registry lock. A writer
// holds it only for one file rewrite, so this is reached only when a process
// hangs; the update is then refused rather than risking a lost update.
inline constexpr int kRegistryLockWaitMs = 20000;

// The folder holding the registry files: $TALLYPAD_REGISTRY, else
// $XDG_CONFIG_HOME/tallypad/registry, else ~/.config/tallypad/registry.
std::string RegistryFolder();
// The path of the file holding `root`.
std::string RegistryFilePath(RegistryRoot root);

// Returns the string value `name` of `key`; nullopt when the key or value is
// missing or the value is a 32-bit number. An empty name is the default value.
std::optional<std::string> RegistryGetString(RegistryRoot root, std::string_view key,
                                             std::string_view name);
// Returns the 32-bit value `name` of `key`; nullopt when missing or a string.
std::optional<uint32_t> RegistryGetDword(RegistryRoot root, std::string_view key,
                                         std::string_view name);
// Sets a string value, creating the key (and its parents) when missing.
int RegistrySetString(RegistryRoot root, std::string_view key, std::string_view name,
                      std::string_view value);
// Sets a 32-bit value, creating the key (and its parents) when missing.
int RegistrySetDword(RegistryRoot root, std::string_view key, std::string_view name,
                     uint32_t value);
// Replaces the 32-bit value `name` by fn(old value, nullopt when missing or
// not a number) in one locked read-modify-write. Stores the new value in
// `*result` when given. Creates the key when missing. With
// Durability::kInMemory the change is not flushed to disk (for counters a
// crash may lose).
int RegistryUpdateDword(RegistryRoot root, std::string_view key, std::string_view name,
                        const std::function<uint32_t(std::optional<uint32_t> old)>& fn,
                        uint32_t* result = nullptr,
                        Durability durability = Durability::kOnDisk);
// Deletes value `name` of `key`; kRegistryNotFound when it does not exist.
int RegistryDeleteValue(RegistryRoot root, std::string_view key, std::string_view name);

// Creates `key` (and its parents) when missing; existing keys are opened as they are.
int RegistryCreateKey(RegistryRoot root, std::string_view key);
// True when `key` exists (a key with subkeys exists even without values).
bool RegistryKeyExists(RegistryRoot root, std::string_view key);
// Returns the number of values of `key`; nullopt when the key does not exist.
std::optional<size_t> RegistryCountValues(RegistryRoot root, std::string_view key);
// Deletes `key` with its values; refused with kRegistryHasSubkeys when it
// has subkeys, kRegistryNotFound when missing.
int RegistryDeleteKey(RegistryRoot root, std::string_view key);
// Deletes `key` only when it holds no values and no subkeys, checked and
// done under one lock (kRegistryNotEmpty or kRegistryHasSubkeys otherwise).
int RegistryDeleteKeyIfEmpty(RegistryRoot root, std::string_view key);

}  // namespace tallypad
