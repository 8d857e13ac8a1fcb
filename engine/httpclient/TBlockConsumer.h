#pragma once

#include <QByteArrayView>

#include <functional>

// Takes body bytes that are used as they arrive rather than kept; the view is valid only
// during the call.
using TBlockConsumer = std::function<void(QByteArrayView block)>;
