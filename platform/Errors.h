#pragma once

#include <stdexcept>
#include <string>

// The few failures that travel as exceptions; everything else is a result.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EInvalidOperation : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Another connection held the lock a statement needed past the busy time-out: unlike a full or
// failing disk, this passes once that connection is done.
class EDatabaseBusy : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// The lock is this program's own: another thread is storing. Unlike another program's hold, it
// passes within moments and is nothing to tell anyone.
class EStoreTurnBusy : public EDatabaseBusy {
 public:
  using EDatabaseBusy::EDatabaseBusy;
};
