#ifndef ENTRYFINDER_H
#define ENTRYFINDER_H

#include <QCompleter>

class QComboBox;

// Type-to-find for an editable combo of thousands of entries: what is typed brings up the
// entries that contain it anywhere (node name, address or label), without regard to case,
// and choosing one makes it the combo's current item, as choosing it from the combo's own
// list does.
class EntryFinder : public QCompleter
{
    Q_OBJECT

public:
    // Installs itself on combo, which must be editable, and becomes its child.
    explicit EntryFinder(QComboBox *combo);
};

#endif // ENTRYFINDER_H
