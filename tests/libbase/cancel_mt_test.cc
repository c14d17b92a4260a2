// A raised stop request ends the waits of the thread that watches it: a
// socket wait with no time limit and a read of a FIFO whose writer is
// silent, raised before the wait or from another thread during it. A thread
// that does not watch it is not disturbed.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <future>
#include <thread>

#include "tb_cancel.h"
#include "tb_file.h"
#include "tb_init.h"
#include "tb_socket.h"
#include "kit.h"

namespace {

using CancelTest = kit::TempCwdTest;

TEST_F(CancelTest, EndsTheWaitsOfTheWatchingThread) {
  ASSERT_TRUE(tb_init(nullptr, nullptr, 0, 0));
  tb_socket_ref_t listener = tb_socket_init(TB_SOCKET_TYPE_TCP, TB_IPADDR_FAMILY_IPV4);
  ASSERT_NE(listener, nullptr);
  tb_ipaddr_t any;
  tb_ipaddr_clear(&any);
  ASSERT_TRUE(tb_ipaddr_ip_text_set(&any, "127.0.0.1", TB_IPADDR_FAMILY_IPV4));
  ASSERT_TRUE(tb_socket_bind(listener, &any) && tb_socket_listen(listener, 1));
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
  const int writer = open(at("fifo").c_str(), O_RDWR | O_CLOEXEC);  // present, never writes
  tb_file_ref_t fifo = tb_file_init(at("fifo").c_str(), FILE_MODE_READ);
  ASSERT_NE(fifo, nullptr);
  char buf[16];
  // Each returns what the wait gave and errno.
  const std::pair<const char*, std::function<long()>> waits[] = {
      {"socket wait", [&] { return tb_socket_wait(listener, TB_SOCKET_EVENT_RECV, -1); }},
      {"FIFO read", [&] { return tb_file_read(fifo, buf, sizeof buf); }},
  };
  tb_cancel_ref_t cancel = tb_cancel_init();
  ASSERT_NE(cancel, nullptr);
  for (const auto& [name, wait] : waits) {
    for (bool before : {true, false}) {
      SCOPED_TRACE(std::string(name) + (before ? ", raised before" : ", raised during"));
      tb_cancel_clear(cancel);
      if (before) tb_cancel_raise(cancel);
      auto waiter = std::async(std::launch::async, [&, wait = wait] {
        tb_cancel_watch(cancel);
        long r = wait();
        return std::make_pair(r, errno);
      });
      if (!before) {
        // Not a timed assertion: the raise ends the wait whenever it comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tb_cancel_raise(cancel);
      }
      ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
      auto [r, err] = waiter.get();
      EXPECT_EQ(r, -1);
      EXPECT_EQ(err, ECANCELED);
    }
  }
  // This thread watches nothing: a raised request does not touch its waits.
  EXPECT_TRUE(tb_cancel_raised(cancel));
  EXPECT_EQ(tb_socket_wait(listener, TB_SOCKET_EVENT_RECV, 10), 0);
  tb_cancel_exit(cancel);
  tb_file_close(fifo);
  close(writer);
  tb_socket_exit(listener);
}

}  // namespace
