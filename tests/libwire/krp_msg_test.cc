#include "krp_msg.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

// Every request and answer as the client and the daemon sent them before
// their layouts were written down once (messages without the frame prefix):
// each layout must still give the same bytes.
TEST(KrpMsg, EveryMessageKeepsItsBytes) {
  using E = std::function<int(blobmsg_buf*)>;
  const uint8_t read8[] = {0xbf, 0x50, 0x5b, 0x51, 0xb7, 0x0d, 0x4c, 0xa1};
  const uint8_t four[] = {1, 2, 3, 4};
  const int64_t fd = 0x100000001;
  const std::string erofs = "Read-only file system";
  const struct {
    const char* what;
    E encode;
    const char* hex;
  } cases[] = {
      {"init request", [](blobmsg_buf* b) { return krp::encode<krp::init::request>(b, "root", "secret"); },
       "02000030840000110004757365720000726f6f7400000000840000170006706173737764000000007365637265740000"},
      {"ioctl request",
       [](blobmsg_buf* b) {
         return krp::encode<krp::ioctl::request>(b, 0, KRSD_IOCTL_PACK, 5, krp::bytes{"none", 5});
       },
       "0200004c8500001400026664000000000000000000000000860000100003636d64000000000027118600001000036c656e00000000"
       "0000058300001100046461746100006e6f6e6500000000"},
      {"open request", [](blobmsg_buf* b) { return krp::encode<krp::open::request>(b, "/dev/sda", 1); },
       "020000308400001500047061746800002f6465762f736461000000008500001400046d6f646500000000000000000001"},
      {"read request", [&](blobmsg_buf* b) { return krp::encode<krp::read::request>(b, fd, 4096); },
       "0200002885000014000266640000000000000001000000018600001000036c656e00000000001000"},
      {"write request",
       [&](blobmsg_buf* b) { return krp::encode<krp::write::request>(b, fd, 0, 4, krp::bytes{four, 4}); },
       "020000488500001400026664000000000000000100000001860000100005666c61677300000000008600001000036c656e000000"
       "0000000483000010000464617461000001020304"},
      {"seek request", [&](blobmsg_buf* b) { return krp::encode<krp::seek::request>(b, fd, int64_t(-5), 2); },
       "0200004485000014000266640000000000000001000000018500001800066f666673657400000000fffffffffffffffb85000014"
       "00046d6f646500000000000000000002"},
      {"sync, finfo, close request", [&](blobmsg_buf* b) { return krp::encode<krp::fd_request>(b, fd); },
       "020000188500001400026664000000000000000100000001"},
      {"truncate request", [&](blobmsg_buf* b) { return krp::encode<krp::truncate::request>(b, fd, int64_t(5)); },
       "0200002c85000014000266640000000000000001000000018500001400036c656e0000000000000000000005"},
      {"exit request", [](blobmsg_buf* b) { return krp::encode<krp::exit::request>(b); }, "02000004"},
      {"init answer", [](blobmsg_buf* b) { return krp::encode<krp::init::answer>(b, 0, "", KRSD_OS_TYPE_POSIX); },
       "0200003c8600001000056572726e6f00000000008400001100096572726e6f5f73747200000000008600001400076f735f747970"
       "6500000000000002"},
      {"ioctl, close answer", [](blobmsg_buf* b) { return krp::encode<krp::answer_head>(b, 0, ""); },
       "020000288600001000056572726e6f00000000008400001100096572726e6f5f7374720000000000"},
      {"unknown command answer",
       [](blobmsg_buf* b) { return krp::encode<krp::answer_head>(b, 38, "Function not implemented"); },
       "020000408600001000056572726e6f00000000268400002900096572726e6f5f7374720046756e6374696f6e206e6f7420696d70"
       "6c656d656e74656400000000"},
      {"open answer, refused",
       [](blobmsg_buf* b) { return krp::encode<krp::open::answer>(b, 2, "No such file or directory", 0); },
       "020000548600001000056572726e6f00000000028400002a00096572726e6f5f737472004e6f20737563682066696c65206f7220"
       "6469726563746f72790000008500001400026664000000000000000000000000"},
      {"sync answer", [](blobmsg_buf* b) { return krp::encode<krp::sync::answer>(b, 0, "", 1); },
       "0200003c8600001000056572726e6f00000000008400001100096572726e6f5f73747200000000008500001400026664000000000"
       "000000000000001"},
      {"read answer",
       [&](blobmsg_buf* b) { return krp::encode<krp::read::answer>(b, 0, "", 8, 0, krp::bytes{read8, 8}); },
       "0200005c8600001000056572726e6f00000000008400001100096572726e6f5f73747200000000008600001000036c656e000000"
       "00000008860000100005666c6167730000000000830000140004646174610000bf505b51b70d4ca1"},
      {"read answer, failed",
       [](blobmsg_buf* b) {
         return krp::encode<krp::read::answer>(b, 9, "Bad file descriptor", 0, 0, krp::bytes{nullptr, 0});
       },
       "020000648600001000056572726e6f00000000098400002400096572726e6f5f737472004261642066696c652064657363726970"
       "746f72008600001000036c656e00000000000000860000100005666c61677300000000008300000c0004646174610000"},
      {"write answer, refused", [&](blobmsg_buf* b) { return krp::encode<krp::write::answer>(b, 30, erofs, 0); },
       "0200004c8600001000056572726e6f000000001e8400002600096572726e6f5f73747200526561642d6f6e6c792066696c652073"
       "797374656d0000008600001000036c656e00000000000000"},
      {"seek answer", [](blobmsg_buf* b) { return krp::encode<krp::seek::answer>(b, 0, "", int64_t(100)); },
       "020000408600001000056572726e6f00000000008400001100096572726e6f5f73747200000000008500001800066f6666736574"
       "000000000000000000000064"},
      {"finfo answer",
       [](blobmsg_buf* b) {
         return krp::encode<krp::finfo::answer>(b, 0, "", KRSD_FTYPE_REGULAR, int64_t(3145851), int64_t(100), 512,
                                                "regular file /dev/rdisk0s1s2");
       },
       "020000a88600001000056572726e6f00000000008400001100096572726e6f5f7374720000000000860000100004747970650000"
       "000000018500001400036c656e000000000000000030007b8500001800066f66667365740000000000000000000000648600001800"
       "0c736563746f725f6279746573000000000200840000290004696e666f0000726567756c61722066696c65202f6465762f7264"
       "69736b307331733200000000"},
  };
  for (const auto& c : cases) {
    blobmsg_buf b{};
    ASSERT_EQ(c.encode(&b), 0) << c.what;
    EXPECT_EQ(Bytes(b.bytes, b.bytes + msg_len(&b)), unhex(c.hex)) << c.what;
    blobmsg_buf_free(&b);
  }
}

}  // namespace
