#include "settings/CollectionValue.h"

const TPublishedProperty* TCollectionValue::Find(const TPublishedItem& item, const QString& name)
{
    for (const TPublishedProperty& property : item)
        if (property.Name == name)
            return &property;
    return nullptr;
}
