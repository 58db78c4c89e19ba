@0x9febfdff3c215bdc;
# Per-tile profile plans carried by an application package. Field ordinals fix the wire
# positions: do not reorder, renumber or retype a field.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("zel_package::wire");

enum StepKind {
  exchange @0;
  compute @1;
  synchronization @2;
  idle @3;
}

enum ExchangeActivityKind {
  send @0;
  receive @1;
  partnerBusy @2;
}

struct ProfileStep {
  localIndex @0 :UInt32;
  phase @1 :UInt32;
  epoch @2 :UInt32;
  operation @3 :Text;
  kind @4 :StepKind;
  kernel @5 :Text;
  metadata @6 :List(MetadataEntry);
  exchangeActivities @7 :List(ExchangeActivity);
  exchangeEventCycles @8 :UInt32;
}

struct MetadataEntry {
  name @0 :Text;
  value @1 :Text;
}

struct ExchangeActivity {
  kind @0 :ExchangeActivityKind;
  fanout @1 :UInt16;
  startCycle @2 :UInt32;
  endCycle @3 :UInt32;
  paired @4 :Bool;
}
