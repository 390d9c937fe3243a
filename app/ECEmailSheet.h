#pragma once

#include <QString>

class UserDefaults;

/// The mailing-list sign-up sheet's state: the address in its field, the contact check box,
/// whether the address may be submitted, and what is kept of them in the user defaults.
class ECEmailSheet
{
public:
    explicit ECEmailSheet(UserDefaults& defaults);

    /// The sheet's defaults, registered at start-up; never overwrite stored values.
    static void registerDefaults(UserDefaults& defaults);

    /// The sheet is about to show: it is marked as shown, and the first time its field takes the
    /// address saved before, so the user sees what was sent.
    void willShow();
    /// The field changed.
    void setText(const QString& text);
    void setOtherOffersChecked(bool checked) { m_otherOffersChecked = checked; }
    /// Re-checks the address in the field; answers whether it may be submitted.
    bool checkAddress();
    /// Stores the address and the check box, pending until the server has them; false (nothing
    /// stored) when the address may not be submitted.
    bool save();
    /// Whether a saved address has not reached the server yet.
    bool submissionPending() const;

    const QString& text() const { return m_text; }
    bool otherOffersChecked() const { return m_otherOffersChecked; }
    bool submitEnabled() const { return m_submitEnabled; }

private:
    UserDefaults& m_defaults;
    QString m_text;
    bool m_textLoaded { false };
    bool m_otherOffersChecked { false };
    bool m_submitEnabled { false };
};
