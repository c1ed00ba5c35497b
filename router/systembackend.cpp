#include "router/routerbackend.h"

namespace quillmere::router {

namespace {

// Not written yet: answers as if no router were on the LAN.
class SystemRouterBackend final : public RouterBackend
{
public:
    explicit SystemRouterBackend(const SystemRouterSettings& settings)
        : m_settings(settings)
    {}

    RouterFacts lookup(const LookupRequest&) override { return {}; }
    ForwardResult forward(const ForwardRequest&) override { return {}; }
    ForwardResult unforward(const ForwardRequest&) override { return {}; }

private:
    SystemRouterSettings m_settings;
};

} // namespace

std::unique_ptr<RouterBackend> makeSystemRouterBackend(const SystemRouterSettings& settings)
{
    return std::make_unique<SystemRouterBackend>(settings);
}

} // namespace quillmere::router
