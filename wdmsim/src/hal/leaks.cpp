// Verifier: what drivers still hold of the HAL's resources when a card's
// stack is removed or an image unloads. Each item is reported once.
#include "hal/hal.h"

namespace wdmsim::hal {

namespace {

// Where in the driver's code the resource was taken: the image and
// function (from its symbols, or the map the build keeps beside a shipped
// image), so a leak in an image the sanitizers cannot see still says where.
std::string Site(const void* at) { return at == nullptr ? "" : ", called from " + K().CodeName(at); }

std::string Prefix(const Slot& slot) { return "slot " + std::to_string(slot.number) + ": "; }

std::string Describe(const IoMapping& m) {
  return "I/O space " + Hex(m.base) + " (" + std::to_string(m.size) + " bytes at physical " + Hex(m.physical) +
         (m.bar >= 0 ? ", BAR" + std::to_string(m.bar) : std::string()) + ") still mapped" + Site(m.at);
}

std::string Describe(const Adapter& a) {
  return "DMA adapter " + Hex(reinterpret_cast<uintptr_t>(&a.adapter)) + " still held (PutDmaAdapter not called)" + Site(a.at);
}

std::string Describe(const CommonBuffer& b) {
  return "common buffer at logical address " + Hex(b.bus) + " (" + std::to_string(b.length) +
         " bytes) still allocated" + Site(b.at);
}

std::string Describe(PMDL mdl, const MdlRecord& r) {
  return "MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) + " for " + Hex(r.va) + " (" + std::to_string(r.length) +
         " bytes) still allocated" + Site(r.at);
}

std::string Describe(PKINTERRUPT o) {
  return (o->message ? "message interrupt " + std::to_string(o->messageId) + " still connected"
                     : "interrupt on vector " + Hex(o->vector).substr(14) + " still connected") +
         Site(o->at);
}

bool Overlaps(const MdlRecord& r, const CommonBuffer& b) {
  const auto start = reinterpret_cast<uintptr_t>(b.host);
  return r.va < start + b.length && start < r.va + r.length;
}

}  // namespace

std::vector<std::string> LeaksForSlot(const Slot& slot) {
  HalState& h = H();
  const int number = static_cast<int>(slot.number);
  std::vector<std::string> out;
  std::lock_guard lock(h.lock);
  for (auto& [start, m] : h.mappings) {
    if (m.slot == number && !m.reported) {
      m.reported = true;
      out.push_back(Prefix(slot) + Describe(m));
    }
  }
  for (auto& a : h.adapters) {
    if (a->slot == number && !a->put && !a->reported) {
      a->reported = true;
      out.push_back(Prefix(slot) + Describe(*a));
    }
  }
  for (auto& [bus, b] : h.buffers) {
    if (b.adapter->slot != number) continue;
    if (!b.reported) {
      b.reported = true;
      out.push_back(Prefix(slot) + Describe(b));
    }
    for (auto& [mdl, r] : h.mdls) {
      if (!r.reported && Overlaps(r, b)) {
        r.reported = true;
        out.push_back(Prefix(slot) + Describe(mdl, r));
      }
    }
  }
  for (PKINTERRUPT o : h.objects) {
    if (o->slot == number && !o->reported) {
      o->reported = true;
      out.push_back(Prefix(slot) + Describe(o));
    }
  }
  return out;
}

std::vector<std::string> LeaksForImage(DriverImage& image) {
  HalState& h = H();
  DriverImage* const owner = &image;
  const std::string prefix = image.name() + ": unloaded with ";
  std::vector<std::string> out;
  std::vector<PKINTERRUPT> connected;
  {
    std::lock_guard lock(h.lock);
    auto report = [&](auto& record, const std::string& what) {
      if (record.owner == owner && !record.reported) {
        record.reported = true;
        out.push_back(prefix + what);
      }
    };
    for (auto& [start, m] : h.mappings) report(m, Describe(m));
    for (auto& a : h.adapters) {
      if (!a->put) report(*a, Describe(*a));
    }
    for (auto& [bus, b] : h.buffers) report(b, Describe(b));
    for (auto& [mdl, r] : h.mdls) report(r, Describe(mdl, r));
    for (PKINTERRUPT o : h.objects) {
      if (o->owner != owner) continue;
      report(*o, Describe(o));
      connected.push_back(o);
    }
  }
  // Its routines are about to be unmapped: nothing may call them again.
  for (PKINTERRUPT o : connected) ForceDisconnect(o);
  return out;
}

}  // namespace wdmsim::hal
