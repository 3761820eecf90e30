// The phone configuration the generator benchmarks write per device: the account sections
// plus many settings, about 20 KB, as a real phone's template is.
#pragma once

#include <string>

namespace velquor::bench {

inline std::string makePhoneTemplate() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n";
    xml += "  <Ext1>\n    <SIPSettings>\n      <SIPPort>5060</SIPPort>\n    </SIPSettings>\n";
    xml += "    <ProxyandRegistration>\n      <Proxy>p</Proxy>\n    </ProxyandRegistration>\n";
    xml +=
        "    <SubscriberInformation>\n      <DisplayName/>\n      <UserID/>\n      <AuthID/>\n"
        "      <Password/>\n    </SubscriberInformation>\n  </Ext1>\n";
    for (int section = 0; xml.size() < 20 * 1024; ++section) {
        xml += "  <Section" + std::to_string(section) + ">\n";
        for (int i = 0; i < 10; ++i) {
            xml += "    <Setting name=\"option" + std::to_string(i) + "\">value " +
                   std::to_string(section * 10 + i) + "</Setting>\n";
        }
        xml += "  </Section" + std::to_string(section) + ">\n";
    }
    return xml + "</Config>\n";
}

}  // namespace velquor::bench
