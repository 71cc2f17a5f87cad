#include "Modules/Worker.h"

#include <errno.h>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "config/Lifecycle.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

struct WorkerLaunch {
    DriverInstance *instance;
    uint32_t station;
    RequestCopy *copy;
    void (*body)(DriverInstance *instance, uint32_t station, RequestCopy *copy);
};

void WorkerMain(void *raw)
{
    WorkerLaunch launch = *static_cast<WorkerLaunch *>(raw);
    delete static_cast<WorkerLaunch *>(raw);
    launch.body(launch.instance, launch.station, launch.copy);
    WorkerEnd(launch.instance);
}

} // namespace

RequestCopy *MakeRequestCopy(const RequestBlock *request)
{
    RequestCopy *copy = static_cast<RequestCopy *>(calloc(1, sizeof(RequestCopy)));
    if (!copy)
        return nullptr;
    const GateRequest *gate = static_cast<const GateRequest *>(request->params);
    copy->request = *request;
    copy->request.params = &copy->gate;
    copy->gate = *gate;
    if (gate->value)
        memcpy(copy->value, gate->value, sizeof copy->value);
    copy->gate.value = copy->value;
    CopyText(copy->gas, sizeof copy->gas, gate->gas);
    copy->gate.gas = copy->gas;
    return copy;
}

void FreeRequestCopy(RequestCopy *copy)
{
    free(copy);
}

bool ClaimBusy(std::atomic<uint32_t> &busy)
{
    uint32_t idle = 0;
    return busy.compare_exchange_strong(idle, 1);
}

uint32_t StartWorker(RequestBlock *request, const WorkerStart *start, uint32_t option)
{
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = GateOf(request)->address.station;
    StationRecord *record = StationOf(instance, station);
    if (!record) {
        KivErr(LOG_ERROR, start->undeclaredLine, static_cast<int>(station));
        return 1;
    }
    std::atomic<uint32_t> &busy = record->*(start->busy);
    if (!ClaimBusy(busy)) {
        KivErr(LOG_ERROR, start->busyLine, static_cast<int>(station));
        return 3;
    }
    RequestCopy *copy = nullptr;
    if (start->mallocLine) {
        copy = MakeRequestCopy(request);
        if (!copy) {
            busy = 0;
            KivErr(LOG_ERROR, "%s", start->mallocLine);
            return 1;
        }
    }
    if (start->prepare)
        start->prepare(instance, station, option);
    WorkerLaunch *launch = new (std::nothrow) WorkerLaunch{instance, station, copy, start->body};
    int rc = launch ? 0 : ENOMEM;
    if (rc == 0 && !WorkerBegin(instance))
        rc = ECANCELED; /* the instance is ending */
    if (rc == 0) {
        rc = PlatformStartDetachedThread(WorkerMain, launch, WORKER_STACK_SIZE);
        if (rc != 0)
            WorkerEnd(instance);
    }
    if (rc != 0) {
        delete launch;
        FreeRequestCopy(copy);
        busy = 0;
        KivErr(LOG_ERROR, start->threadLine, static_cast<unsigned>(rc));
        return 1;
    }
    return 0;
}
