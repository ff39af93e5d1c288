// What the handset does with each request, mode by mode (see HandsetModel.h for the list).
#include "HandsetCodes.h"
#include "HandsetModel.h"

namespace sim {

CHandsetModel::Response CHandsetModel::Reply(std::vector<uint8_t> payload) {
  Response r;
  r.payload = std::move(payload);
  return r;
}

CHandsetModel::Response CHandsetModel::Dm(const std::vector<uint8_t>& req) {
  Response r;
  const uint8_t cmd = req[0];
  switch (cmd) {
    case 0x00:
      r.payload = req.size() == 1 ? BuildVersionReply(m_scenario.version) : WithEcho(kDmBadLen, req);
      break;
    case 0x0C:
      r.payload = req.size() == 1 ? std::vector<uint8_t>{0x0C} : WithEcho(kDmBadLen, req);
      break;
    case 0x29:
      if (req.size() != 3) {
        r.payload = WithEcho(kDmBadLen, req);
      } else if (req[1] == 0x01 && req[2] == 0x00) {
        r.payload = req;
        m_mode = HandsetMode::DmOffline;
      } else {
        r.payload = WithEcho(kDmBadCmd, req);  // only the offline mode is known here
      }
      break;
    case 0x3A:
      if (req.size() != 1) {
        r.payload = WithEcho(kDmBadLen, req);
      } else if (m_mode != HandsetMode::DmOffline) {
        r.payload = WithEcho(kDmBadMode, req);  // a handset online must not leave DM mode
      } else {
        r.payload = {0x3A};
        r.nextMode = HandsetMode::Download;
        r.nextBaud = m_baud;
        r.switchMs = m_scenario.timing.dloadSwitchMs;
      }
      break;
    default:
      r.payload = WithEcho(kDmBadCmd, req);
  }
  return r;
}

CHandsetModel::Response CHandsetModel::DownloadBoot(const std::vector<uint8_t>& req) {
  Response r;
  r.payload = {kNakInvalid};
  const size_t len = req.size();
  switch (req[0]) {
    case 0xA0:
      if (len == 1) r.payload = {kAck};
      break;
    case 0xB0:
      if (len == 1) {
        m_moduleCopied = true;
        r.payload = {kAck};
      }
      break;
    case 0xF0:
      if (len == 2 && req[1] <= 1) {
        m_moduleBaud = req[1] == 0 ? 57600 : 115200;
        r.payload = {kAck};
      }
      break;
    case 0xC0:
      if (len == 1 && m_moduleCopied) {  // nothing to jump to before the copy
        r.payload = {kAck};
        r.nextMode = HandsetMode::Module;
        r.nextBaud = m_moduleBaud.value_or(m_baud);
        r.switchMs = m_scenario.timing.jumpMs;
      }
      break;
    default:
      break;
  }
  return r;
}

CHandsetModel::Response CHandsetModel::DownloadModule(const std::vector<uint8_t>& req) {
  Response r;
  r.payload = {kNakInvalid};
  const size_t len = req.size();
  switch (req[0]) {
    case 0xA0:
      if (len == 1) r.payload = {kAck};
      break;
    case 0xEE:
      if (len == 9) {
        const bool ok = m_flash.Erase(Le32(req, 1), Le32(req, 5));
        r.payload = {ok ? kAck : kNakFlash};
        if (ok) {
          r.workMs = m_scenario.timing.eraseMs;
          TouchFlash();
        }
      }
      break;
    case 0xDD:
      if (len >= 7) {
        const size_t count = static_cast<size_t>(req[5] | req[6] << 8);
        if (count > 4096) {
          r.payload = {kNakTooLarge};
        } else if (len == 7 + count) {
          const bool ok = m_flash.Program(Le32(req, 1), req.data() + 7, count);
          r.payload = {ok ? kAck : kNakFlash};
          if (ok) {
            r.workMs = m_scenario.timing.writeMs;
            TouchFlash();
          }
        }
      }
      break;
    case 0xC0:
      if (len == 1) {
        r.payload = {kAck};
        r.nextMode = HandsetMode::Dm;
        r.nextBaud = m_scenario.DmBaud();
        r.switchMs = m_scenario.timing.rebootMs;
        r.endsDownload = true;
        ++m_downloads;
      }
      break;
    default:
      break;
  }
  return r;
}

}  // namespace sim
