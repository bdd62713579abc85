#include "production/portnames.h"

namespace Production {

std::pair<int, int> samePortTwice(const QStringList &resolved)
{
    for (int i = 0; i < resolved.size(); ++i) {
        for (int j = i + 1; j < resolved.size(); ++j) {
            if (!resolved[i].isEmpty() && resolved[i] == resolved[j])
                return {i, j};
        }
    }
    return {-1, -1};
}

} // namespace Production
