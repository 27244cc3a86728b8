// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every failure the engine and its collections can raise. Callers tell them
// apart by type (or by ErrorKind when they only hold the base).
#include <stdexcept>
#include <string>

namespace vlx {

enum class ErrorKind { Overflow, DivisionByZero, OutOfRange, MissingKey, DuplicateKey };

class VlxError : public std::runtime_error {
public:
    VlxError(ErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

class OverflowError final : public VlxError {
public:
    explicit OverflowError(const std::string& what = "Overflow") : VlxError(ErrorKind::Overflow, what) {}
};

class DivisionByZeroError final : public VlxError {
public:
    explicit DivisionByZeroError(const std::string& what = "Division by zero")
        : VlxError(ErrorKind::DivisionByZero, what) {}
};

class OutOfRangeError final : public VlxError {
public:
    explicit OutOfRangeError(const std::string& what = "Subscript out of range")
        : VlxError(ErrorKind::OutOfRange, what) {}
};

class MissingKeyError final : public VlxError {
public:
    explicit MissingKeyError(const std::string& what = "Key not found")
        : VlxError(ErrorKind::MissingKey, what) {}
};

class DuplicateKeyError final : public VlxError {
public:
    explicit DuplicateKeyError(const std::string& what = "Key is already associated with an element")
        : VlxError(ErrorKind::DuplicateKey, what) {}
};

}  // namespace vlx
