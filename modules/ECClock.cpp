#include "modules/ECClock.h"

namespace {

class SystemClock : public ECClock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
};

}

const ECClock& ECClock::system()
{
    static const SystemClock clock;
    return clock;
}
