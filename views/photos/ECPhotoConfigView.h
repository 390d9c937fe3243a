#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <vector>

struct ICCameraFile;

class ECPhotoModule;
class ECTimePopupButton;
class QComboBox;
class QLabel;

/// The photo tool's own controls: what to back up (photos and videos, photos, videos), how old
/// it must be, where the backup goes (Pictures, Desktop, Home, a folder of one's own), and the
/// lines saying what will be backed up: how many photos and videos, taken when, into which folder.
/// It shows the module's state and hands choices to it.
class ECPhotoConfigView : public QWidget
{
    Q_OBJECT

public:
    explicit ECPhotoConfigView(ECPhotoModule* module, QWidget* parent = nullptr);

    QComboBox* photosAndVideosPopup() const { return m_photosAndVideosPopup; }
    ECTimePopupButton* timePopup() const { return m_timePopup; }
    QComboBox* pathPicker() const { return m_pathPicker; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QLabel* datesLabel() const { return m_datesLabel; }
    /// The destination's full path, elided in the middle only when it must be.
    QLabel* folderLabel() const { return m_folderLabel; }

    /// What a backup of `files` covers, in words.
    struct Summary
    {
        QString counts; ///< "12 photos and 3 videos, 838.0 MB"
        QString dates; ///< "Taken 3 Mar 2015 – 9 Jun 2016"; empty without dates
    };
    static Summary summarize(const std::vector<ICCameraFile>& files);

private:
    void refresh();
    void rebuildPathPicker();
    void pathChosen(int index);

    QPointer<ECPhotoModule> m_module;
    QComboBox* m_photosAndVideosPopup { nullptr };
    ECTimePopupButton* m_timePopup { nullptr };
    QComboBox* m_pathPicker { nullptr };
    QLabel* m_statusLabel { nullptr };
    QLabel* m_datesLabel { nullptr };
    QLabel* m_folderLabel { nullptr };
    bool m_refreshing { false };
};
