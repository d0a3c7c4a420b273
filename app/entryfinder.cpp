#include "entryfinder.h"

#include <QComboBox>
#include <QListView>

EntryFinder::EntryFinder(QComboBox *combo)
    : QCompleter(combo->model(), combo)
{
    setCaseSensitivity(Qt::CaseInsensitive);
    setFilterMode(Qt::MatchContains);
    setCompletionMode(QCompleter::PopupCompletion);
    // A typed word may match thousands of entries: with rows of one height the popup lays
    // out only those it shows.
    auto *list = new QListView;
    list->setUniformItemSizes(true);
    setPopup(list);
    // The combo takes a choice made here as one made in its own list: it makes the item
    // current and reports it activated, so the row's check runs and stores it.
    combo->setCompleter(this);
}
