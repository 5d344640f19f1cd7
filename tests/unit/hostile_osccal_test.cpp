// The end of the calibration read-out skips a few late ticks ahead of the
// sync's ACK; a programmer that keeps ticking and never answers the sync must
// still end the run, within the reply time-outs of those few bytes.
#include <fcntl.h>
#include <unistd.h>

#include "ops/osccal.h"
#include "protocol/protocol.h"
#include "write_fixture.h"

namespace opstest {
namespace {

class OsccalEnd : public OpsTest {};

TEST_F(OsccalEnd, ProgrammerThatNeverAcknowledgesStillFails) {
    sim::Config c = part("PIC16F1825");
    c.faults.stall_after_frame = 11;  // ticks go on, the sync is never answered
    connect(c);
    EXPECT_EXIT(
        {
            alarm(10);
            int null_in = open("/dev/null", O_RDONLY);
            dup2(null_in, 0);
            dup2(2, 1);
            run_osccal_helper();
        },
        testing::ExitedWithCode(1), "communication error!");
}

}  // namespace
}  // namespace opstest
