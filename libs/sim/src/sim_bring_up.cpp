#include "zel_sim/sim_bring_up.hpp"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "kernel_failure.hpp"
#include "user_memory.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/request_names.hpp"

namespace zel_sim {
namespace {

// The bring-up sequence, each request with the one that must follow it (none: the end).
constexpr std::pair<unsigned long, std::optional<unsigned long>> SEQUENCE[] = {
    {kernel::STOP_MONITORING, kernel::MAILBOX},
    {kernel::MAILBOX, kernel::START_MONITORING},
    {kernel::START_MONITORING, kernel::ACCUMULATE_ERRORS},
    {kernel::ACCUMULATE_ERRORS, kernel::NOTIFY_RESET},
    {kernel::NOTIFY_RESET, kernel::SET_SECONDARY_ID},
    {kernel::SET_SECONDARY_ID, std::nullopt},
};

// The request's step of the sequence, or its end when the request is none of them.
const auto* step_of(unsigned long request) {
  return std::ranges::find(SEQUENCE, request, [](const auto& step) { return step.first; });
}

// The kernel copies the ICU's messages whole, a word of the message to a word of the record.
static_assert(std::tuple_size_v<icu::Message> == kernel::MAILBOX_MESSAGE_WORDS);
static_assert(kernel::MAILBOX_MESSAGE_BYTES == 4 * kernel::MAILBOX_MESSAGE_WORDS);

icu::Message decode_message(std::span<const std::byte> bytes) {
  icu::Message message;
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = field_u32(bytes, 4 * i);
  return message;
}

std::array<std::byte, kernel::MAILBOX_MESSAGE_BYTES> encode_message(const icu::Message& message) {
  std::array<std::byte, kernel::MAILBOX_MESSAGE_BYTES> bytes;
  for (std::size_t i = 0; i < message.size(); ++i) zel_base::store_u32_le(bytes, 4 * i, message[i]);
  return bytes;
}

}  // namespace

bool SimBringUp::serves(unsigned long request) { return step_of(request) != std::end(SEQUENCE); }

int SimBringUp::serve(unsigned long request, unsigned long argument) {
  if (request == kernel::SET_SECONDARY_ID) return secondary_id(argument);
  if (request == kernel::MAILBOX) return mailbox(argument);
  if (argument != 0) {
    return kernel_refusal(
        refusals_,
        fmt::format("{} with argument 0x{:x}, expected 0", request_name(request), argument),
        EINVAL);
  }
  check_order(request);
  if (request == kernel::STOP_MONITORING) monitoring_ = false;
  if (request == kernel::START_MONITORING) monitoring_ = true;
  requests_.push_back({request, argument});
  return 0;
}

void SimBringUp::check_order(unsigned long request) {
  if (request != kernel::STOP_MONITORING && request != next_) {
    refusals_.add(fmt::format("kernel: {} out of order, expected {}", request_name(request),
                              next_ ? request_name(*next_) : "stop-monitoring"));
  }
  next_ = step_of(request)->second;
}

int SimBringUp::secondary_id(unsigned long argument) {
  const auto slot = copy_in<kernel::SECONDARY_ID_BYTES>(argument);
  if (!slot) return kernel_refusal(refusals_, "set-secondary-id without an ID", EFAULT);
  const std::uint64_t id = field_u64(*slot, 0);
  if (id != 0) {
    return kernel_refusal(refusals_, fmt::format("secondary ID 0x{:x}, expected 0", id), EINVAL);
  }
  check_order(kernel::SET_SECONDARY_ID);
  requests_.push_back({kernel::SET_SECONDARY_ID, id});
  return 0;
}

int SimBringUp::mailbox(unsigned long argument) {
  const auto record = copy_in<kernel::MAILBOX_RECORD_BYTES>(argument);
  if (!record) return kernel_refusal(refusals_, "mailbox without a record", EFAULT);
  const std::uint64_t sent = field_u64(*record, kernel::MAILBOX_RECORD_SENT);
  const std::uint64_t received = field_u64(*record, kernel::MAILBOX_RECORD_RECEIVED);
  const auto bytes = copy_in<kernel::MAILBOX_MESSAGE_BYTES>(sent);
  if (!bytes || received == 0) {
    return kernel_refusal(refusals_, "mailbox record without a message or an answer", EFAULT);
  }
  check_order(kernel::MAILBOX);
  const icu::Message message = decode_message(*bytes);
  messages_.push_back(message);
  requests_.push_back({kernel::MAILBOX, message[0]});
  if (faults_.mailbox_response_untouched) {
    ++firings_.mailbox_response_untouched;
  } else {
    copy_out(received, encode_message(answer(message)));
  }
  return 0;
}

icu::Message SimBringUp::answer(const icu::Message& message) {
  const icu::Message own = message == icu::RESET_MESSAGE ? message : icu::Message{};
  if (message != icu::RESET_MESSAGE) {
    // The ICU knows no other request and leaves its answer empty.
    refusals_.add(fmt::format("ICU mailbox: unknown request [{:#x}]", fmt::join(message, ", ")));
  }
  if (!faults_.mailbox_response) return own;
  ++firings_.mailbox_response;
  return *faults_.mailbox_response;
}

}  // namespace zel_sim
