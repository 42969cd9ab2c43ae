#ifndef FAKE_PORT_CATALOG_H
#define FAKE_PORT_CATALOG_H

#include "link/port_catalog.h"

#include <algorithm>

// Ports the test plugs and unplugs by hand, pseudo-terminal paths among them.
class FakePortCatalog : public PortCatalog
{
public:
    QList<PortIdentity> ports() const override { return listed; }
    void plug(const PortIdentity& port) { listed.append(port); }
    void unplug(const QString& name)
    {
        listed.erase(
            std::remove_if(listed.begin(), listed.end(), [&](const PortIdentity& port) { return port.name == name; }),
            listed.end());
    }

    QList<PortIdentity> listed;
};

#endif // FAKE_PORT_CATALOG_H
