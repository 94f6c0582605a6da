// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

// The file chooser for adding applications: several items at once, filtered by type identifiers
// ("com.apple.bundle", "public.executable"), and able to choose application packages (bundle
// directories and desktop entries) as items instead of entering them as folders. A test seam answers
// the next runModal() without showing anything.
class OpenPanel final {
public:
    enum Response { cancel = 0, ok = 1 };

    OpenPanel();

    void setAllowedFileTypes(const QStringList& types) { m_allowedFileTypes = types; }
    const QStringList& allowedFileTypes() const { return m_allowedFileTypes; }
    void setDirectoryURL(const QUrl& url) { m_directoryURL = url; }
    const QUrl& directoryURL() const { return m_directoryURL; }
    void setAllowsMultipleSelection(bool allows) { m_allowsMultipleSelection = allows; }
    bool allowsMultipleSelection() const { return m_allowsMultipleSelection; }
    // The window title (what choosing does) and the name of the type filter the user sees.
    void setTitle(const QString& title) { m_title = title; }
    const QString& title() const { return m_title; }
    void setTypeDescription(const QString& description) { m_typeDescription = description; }
    const QString& typeDescription() const { return m_typeDescription; }

    // Runs the chooser modally; ok or cancel.
    int runModal();
    // The chosen files, in the chooser's order (after ok).
    const QList<QUrl>& URLs() const { return m_urls; }

    // Tests only: the next runModal() is answered by `answer` with the panel as it was set up;
    // the answer returns the chosen URLs, or nothing for cancel.
    using Answer = std::function<std::optional<QList<QUrl>>(const OpenPanel&)>;
    static void setNextAnswer(Answer answer);

private:
    QStringList m_allowedFileTypes;
    QUrl m_directoryURL;
    bool m_allowsMultipleSelection = false;
    QString m_title;
    QString m_typeDescription;
    QList<QUrl> m_urls;
};
